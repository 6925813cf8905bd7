#include "support/tls_test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};

std::string toPem(int (*write)(BIO*, void*), void* object) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || write(bio.get(), object) != 1) return std::string();
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string certPem(X509* cert) {
    return toPem([](BIO* b, void* o) { return PEM_write_bio_X509(b, static_cast<X509*>(o)); }, cert);
}

std::string keyPem(EVP_PKEY* key) {
    return toPem(
        [](BIO* b, void* o) {
            return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(o), nullptr, nullptr, 0, nullptr, nullptr);
        },
        key);
}

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

X509* newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return cert;
}

}  // namespace

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) {
    key_ = EVP_EC_gen("P-256");
    if (!key_) {
        ADD_FAILURE() << "cannot make the CA key";
        return;
    }
    cert_ = newCertificate(key_, commonName, 1);
    X509_set_issuer_name(cert_, X509_get_subject_name(cert_));
    const bool ok = addExtension(cert_, cert_, NID_basic_constraints, "critical,CA:TRUE") &&
                    addExtension(cert_, cert_, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                    addExtension(cert_, cert_, NID_subject_key_identifier, "hash") &&
                    X509_sign(cert_, key_, EVP_sha256()) > 0;
    if (!ok) ADD_FAILURE() << "cannot make the CA certificate";
    certificatePem_ = certPem(cert_);
}

TestCertificateAuthority::~TestCertificateAuthority() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
}

PemIdentity TestCertificateAuthority::issueServerCertificate(const std::vector<std::string>& dnsNames,
                                                             const std::vector<std::string>& ipAddresses) const {
    static std::atomic<long> serial{100};
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) {
        ADD_FAILURE() << "cannot make a server key";
        return {};
    }
    const std::string commonName = dnsNames.empty() ? "server" : dnsNames.front();
    X509* cert = newCertificate(key, commonName, serial.fetch_add(1));
    X509_set_issuer_name(cert, X509_get_subject_name(cert_));
    std::string names;
    for (const auto& dns : dnsNames) names += (names.empty() ? "" : ",") + std::string("DNS:") + dns;
    for (const auto& ip : ipAddresses) names += (names.empty() ? "" : ",") + std::string("IP:") + ip;
    bool ok = addExtension(cert, cert_, NID_basic_constraints, "critical,CA:FALSE") &&
              addExtension(cert, cert_, NID_ext_key_usage, "serverAuth") &&
              addExtension(cert, cert_, NID_authority_key_identifier, "keyid:always");
    if (ok && !names.empty()) ok = addExtension(cert, cert_, NID_subject_alt_name, names);
    ok = ok && X509_sign(cert, key_, EVP_sha256()) > 0;
    if (!ok) ADD_FAILURE() << "cannot issue the server certificate";
    PemIdentity identity{certPem(cert), keyPem(key)};
    X509_free(cert);
    EVP_PKEY_free(key);
    return identity;
}

void TestCertificateAuthority::writeCertificate(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << certificatePem_;
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

ScopedEnvVar::ScopedEnvVar(const std::string& name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        hadValue_ = true;
        oldValue_ = old;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnvVar::~ScopedEnvVar() {
    if (hadValue_) ::setenv(name_.c_str(), oldValue_.c_str(), 1);
    else ::unsetenv(name_.c_str());
}

ScriptedTlsServer::ScriptedTlsServer(const PemIdentity& identity) {
    std::signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    std::unique_ptr<BIO, BioFree> certBio(BIO_new_mem_buf(identity.certificatePem.data(),
                                                          static_cast<int>(identity.certificatePem.size())));
    std::unique_ptr<BIO, BioFree> keyBio(BIO_new_mem_buf(identity.privateKeyPem.data(),
                                                         static_cast<int>(identity.privateKeyPem.size())));
    X509* cert = PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr);
    if (!ctx_ || !cert || !key || SSL_CTX_use_certificate(ctx_, cert) != 1 || SSL_CTX_use_PrivateKey(ctx_, key) != 1) {
        ADD_FAILURE() << "cannot set up the TLS server identity";
    }
    X509_free(cert);
    EVP_PKEY_free(key);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ADD_FAILURE() << "cannot listen on a loopback port";
        return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedTlsServer::~ScriptedTlsServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    SSL_CTX_free(ctx_);
}

void ScriptedTlsServer::setAnswer(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = bytes;
}

void ScriptedTlsServer::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

std::vector<std::string> ScriptedTlsServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string ScriptedTlsServer::httpAnswer(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

void ScriptedTlsServer::run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        serve(fd);
        ::close(fd);
    }
}

void ScriptedTlsServer::serve(int fd) {
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx_), &SSL_free);
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1) {
        ++failedHandshakes_;
        return;
    }

    std::string request;
    size_t wanted = std::string::npos;  // full length once the head is in
    char buffer[4096];
    while (wanted == std::string::npos || request.size() < wanted) {
        const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
        const size_t headEnd = request.find("\r\n\r\n");
        if (wanted == std::string::npos && headEnd != std::string::npos) {
            size_t length = 0;
            const size_t at = request.find("Content-Length: ");
            if (at != std::string::npos && at < headEnd) length = std::stoul(request.substr(at + 16));
            wanted = headEnd + 4 + length;
        }
    }

    std::string answer;
    bool silent;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        answer = answer_;
        silent = silent_;
    }
    if (silent) {
        // Hold the connection until the client gives up or the test ends.
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0 && SSL_read(ssl.get(), buffer, sizeof buffer) <= 0) break;
        }
        return;
    }
    size_t sent = 0;
    while (sent < answer.size()) {
        const int n = SSL_write(ssl.get(), answer.data() + sent, static_cast<int>(answer.size() - sent));
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
    SSL_shutdown(ssl.get());
}
