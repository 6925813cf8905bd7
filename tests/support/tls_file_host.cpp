#include "support/tls_file_host.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

bool writeAll(SSL* ssl, const char* data, size_t size) {
    while (size > 0) {
        const int n = SSL_write(ssl, data, static_cast<int>(size));
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(SSL* ssl, const std::string& text) { return writeAll(ssl, text.data(), text.size()); }

// The value of header `name` (given in lower case) in `head`, "" when absent.
std::string headerValue(const std::string& head, const std::string& name) {
    size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        const size_t end = head.find("\r\n", at);
        const std::string line = head.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == name) {
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            return line.substr(v);
        }
    }
    return std::string();
}

}  // namespace

TlsFileHost::TlsFileHost(const PemIdentity& identity) {
    std::signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    std::unique_ptr<BIO, BioFree> certBio(BIO_new_mem_buf(identity.certificatePem.data(),
                                                          static_cast<int>(identity.certificatePem.size())));
    std::unique_ptr<BIO, BioFree> keyBio(BIO_new_mem_buf(identity.privateKeyPem.data(),
                                                         static_cast<int>(identity.privateKeyPem.size())));
    X509* cert = PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
    if (!ctx_ || !cert || !key || SSL_CTX_use_certificate(ctx_, cert) != 1 || SSL_CTX_use_PrivateKey(ctx_, key) != 1) {
        ADD_FAILURE() << "cannot set up the TLS host identity";
    }
    X509_free(cert);
    EVP_PKEY_free(key);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "cannot listen on a loopback port";
        return;
    }
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TlsFileHost::~TlsFileHost() {
    stop_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(connections_);
    }
    for (std::thread& t : threads) t.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    SSL_CTX_free(ctx_);
}

void TlsFileHost::setDocument(const std::string& target, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    documents_[target] = body;
}

void TlsFileHost::setFile(const std::string& path, const std::string& diskPath, Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = HostedFile{diskPath, fault};
}

void TlsFileHost::setFault(const std::string& path, Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path].fault = fault;
}

void TlsFileHost::setThrottle(int delayMs, size_t chunkBytes) {
    chunkBytes_ = chunkBytes;
    delayMs_ = delayMs;
}

std::vector<std::string> TlsFileHost::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void TlsFileHost::acceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back([this, fd] {
            serve(fd);
            ::close(fd);
        });
    }
}

void TlsFileHost::serve(int fd) {
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::unique_ptr<SSL, decltype(&SSL_free)> holder(SSL_new(ctx_), &SSL_free);
    SSL* ssl = holder.get();
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) return;

    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) return;
        head.append(buffer, static_cast<size_t>(n));
    }
    const size_t headEnd = head.find("\r\n\r\n");
    if (headEnd == std::string::npos) return;
    // A request body (a POST to the web service) is read whole, so that the
    // connection closes without unread bytes and the answer arrives.
    const std::string length = headerValue(head.substr(0, headEnd), "content-length");
    size_t bodyLeft = length.empty() ? 0 : static_cast<size_t>(std::stoull(length));
    const size_t already = head.size() - headEnd - 4;
    bodyLeft = already >= bodyLeft ? 0 : bodyLeft - already;
    while (bodyLeft > 0) {
        const int n = SSL_read(ssl, buffer, static_cast<int>(std::min(sizeof buffer, bodyLeft)));
        if (n <= 0) return;
        bodyLeft -= static_cast<size_t>(n);
    }
    head.resize(headEnd);
    const size_t firstSpace = head.find(' ');
    const size_t secondSpace = head.find(' ', firstSpace + 1);
    const std::string target = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    std::string document;
    bool isDocument = false;
    HostedFile file;
    bool isFile = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
        if (const auto it = documents_.find(target); it != documents_.end()) {
            document = it->second;
            isDocument = true;
        } else if (const auto f = files_.find(target); f != files_.end()) {
            file = f->second;
            isFile = true;
        }
    }
    if (isDocument) {
        writeAll(ssl, ScriptedTlsServer::httpAnswer(document));
        SSL_shutdown(ssl);
        return;
    }
    if (!isFile || file.fault == Fault::kNotFound) {
        const std::string page = "<html><body>404 Not Found</body></html>";
        writeAll(ssl, "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
                          std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
        SSL_shutdown(ssl);
        return;
    }

    std::unique_ptr<FILE, decltype(&std::fclose)> in(std::fopen(file.diskPath.c_str(), "rb"), &std::fclose);
    if (!in) return;
    std::fseek(in.get(), 0, SEEK_END);
    const long long size = std::ftell(in.get());
    long long from = 0;
    const std::string range = headerValue(head, "range");
    if (range.rfind("bytes=", 0) == 0 && file.fault != Fault::kIgnoreRange) from = std::stoll(range.substr(6));
    if (file.fault == Fault::kEndless || file.fault == Fault::kHugeLength ||
        (file.fault == Fault::kHugeRange && from > 0)) {
        std::string endlessHead = "HTTP/1.1 200 OK\r\n\r\n";
        if (file.fault == Fault::kHugeLength) endlessHead = "HTTP/1.1 200 OK\r\nContent-Length: 10000000000000\r\n\r\n";
        if (file.fault == Fault::kHugeRange) {
            const long long total = 100000000000ll;
            endlessHead = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                          std::to_string(total - 1) + "/" + std::to_string(total) +
                          "\r\nContent-Length: " + std::to_string(total - from) + "\r\n\r\n";
        }
        if (!writeAll(ssl, endlessHead)) return;
        const std::vector<char> zeros(256 * 1024, 'z');
        for (long long sent = 0; sent < kEndlessBodyCap && !stop_; sent += static_cast<long long>(zeros.size())) {
            if (!writeAll(ssl, zeros.data(), zeros.size())) return;
        }
        SSL_shutdown(ssl);
        return;
    }
    std::string answerHead;
    if (file.fault == Fault::kChunked) {
        answerHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    } else if (from > 0) {
        if (file.fault == Fault::kWrongRange) ++from;
        answerHead = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                     std::to_string(size - 1) + "/" + std::to_string(size) +
                     "\r\nContent-Length: " + std::to_string(size - from) + "\r\n\r\n";
    } else {
        answerHead = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                     std::to_string(size) + "\r\n\r\n";
    }
    if (!writeAll(ssl, answerHead)) return;
    const long long end = file.fault == Fault::kTruncateHalf ? from + (size - from) / 2 : size;
    std::fseek(in.get(), from, SEEK_SET);
    std::vector<char> block(256 * 1024);
    long long at = from;
    while (at < end && !stop_) {
        const size_t chunk = delayMs_ > 0 ? chunkBytes_.load() : block.size();
        const size_t want = static_cast<size_t>(std::min<long long>(std::min(chunk, block.size()), end - at));
        const size_t got = std::fread(block.data(), 1, want, in.get());
        if (got == 0) break;
        if (!writeAll(ssl, block.data(), got)) return;
        at += static_cast<long long>(got);
        if (const int delay = delayMs_.load(); delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    SSL_shutdown(ssl);
}

std::string catalogAnswer(const std::string& recordJson) {
    return R"({"retcode":0,"retdesc":"ok","data":{"model":)" + recordJson + "}}";
}
