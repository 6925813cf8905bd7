#include "support/stand_in_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollSliceMs = 20;

std::map<std::string, std::string> fieldsOf(const std::string& line) {
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    std::string word;
    words >> word;  // the command
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

// Non-blocking TLS I/O that gives up on `stop` or a deadline.
class Io {
public:
    Io(SSL* ssl, int fd, const std::atomic<bool>& stop) : ssl_(ssl), fd_(fd), stop_(stop) {}

    // 1 done, 0 time-out or stop, -1 failure or close.
    int handshake(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const int rc = SSL_accept(ssl_);
            if (rc == 1) return 1;
            if (!wait(rc, deadline)) return -1;
        }
    }
    // Reads one line ("\r" dropped). False on close, failure or time-out.
    bool readLine(std::string& line, int timeoutMs) {
        line.clear();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            char c;
            const int n = SSL_read(ssl_, &c, 1);
            if (n == 1) {
                if (c == '\n') return true;
                if (c != '\r') line.push_back(c);
                continue;
            }
            if (!wait(n, deadline)) return false;
        }
    }
    // Some bytes: > 0 count, 0 nothing yet, -1 closed or failed.
    int readSome(char* buffer, int size) {
        const int n = SSL_read(ssl_, buffer, size);
        if (n > 0) return n;
        const int error = SSL_get_error(ssl_, n);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
        return -1;
    }
    bool writeAll(const std::string& text, int timeoutMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t sent = 0;
        while (sent < text.size()) {
            const int n = SSL_write(ssl_, text.data() + sent, static_cast<int>(text.size() - sent));
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (!wait(n, deadline)) return false;
        }
        return true;
    }
    // Waits for the socket to be readable for at most `ms`.
    void idle(int ms) {
        if (SSL_pending(ssl_) > 0) return;
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, ms);
    }

private:
    bool wait(int rc, Clock::time_point deadline) {
        const int error = SSL_get_error(ssl_, rc);
        ERR_clear_error();
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        else return false;
        for (;;) {
            if (stop_.load() || Clock::now() >= deadline) return false;
            pollfd p{fd_, events, 0};
            const int n = ::poll(&p, 1, kPollSliceMs);
            if (n > 0) return true;
        }
    }

    SSL* ssl_;
    int fd_;
    const std::atomic<bool>& stop_;
};

EVP_PKEY* readKey(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
}

X509* readCert(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return cert;
}

}  // namespace

struct StandInRelay::Job {
    std::string request;
    bool held = false;
    bool session = false;
    SSL* ssl = nullptr;  // a session's connection while it is open
    int fd = -1;
    bool sessionOver = false;
    const std::atomic<bool>* stop = nullptr;
    bool done = false;
    bool failed = false;
    std::string reply;
};

std::string StandInRelay::expectedHmac(const std::string& uuid, const std::string& token, const std::string& nonce,
                                       uint64_t ts) {
    unsigned char key[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), key);
    const std::string message = uuid + ":" + nonce + ":" + std::to_string(ts);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key, sizeof key, reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
         &length);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

StandInRelay::StandInRelay(const PemIdentity& identity, std::string uuid, std::string token)
    : uuid_(std::move(uuid)), token_(std::move(token)) {
    ::signal(SIGPIPE, SIG_IGN);
    ctx_ = SSL_CTX_new(TLS_server_method());
    X509* cert = readCert(identity.certificatePem);
    EVP_PKEY* key = readKey(identity.privateKeyPem);
    EXPECT_EQ(SSL_CTX_use_certificate(ctx_, cert), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx_, key), 1);
    X509_free(cert);
    EVP_PKEY_free(key);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listenFd_, 64), 0);
    socklen_t len = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &len);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

StandInRelay::~StandInRelay() {
    stop_.store(true);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
        changed_.notify_all();
    }
    for (std::thread& t : threads) t.join();
    closeListener();
    SSL_CTX_free(ctx_);
}

void StandInRelay::closeListener() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listenFd_ >= 0) {
        ::shutdown(listenFd_, SHUT_RDWR);
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

void StandInRelay::setAuth(Auth auth) { auth_.store(auth); }
void StandInRelay::setRefusing(bool refusing) { refusing_.store(refusing); }

void StandInRelay::acceptLoop() {
    while (!stop_.load()) {
        int listenFd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listenFd = listenFd_;
        }
        if (listenFd < 0) return;
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, kPollSliceMs) <= 0) continue;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        acceptTimes_.push_back(Clock::now());
        changed_.notify_all();
        if (refusing_.load()) {
            ::close(fd);
            continue;
        }
        openFds_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void StandInRelay::serve(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    Io io(ssl, fd, stop_);
    std::string first;
    if (io.handshake(10000) == 1 && io.readLine(first, 10000)) {
        if (first.rfind("AUTH_HELLO ", 0) == 0) serveControl(ssl, fd, first);
        else if (first.rfind("DATA_CHANNEL_INIT ", 0) == 0) serveData(ssl, fd, first);
    }
    SSL_free(ssl);
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(std::find(openFds_.begin(), openFds_.end(), fd));
    ::close(fd);
}

void StandInRelay::serveControl(void* sslHandle, int fd, const std::string& hello) {
    SSL* ssl = static_cast<SSL*>(sslHandle);
    Io io(ssl, fd, stop_);
    // Taken before the hello is visible, so a test that switches the answer
    // once it sees a hello switches the next one.
    const Auth auth = auth_.load();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hellos_.push_back(hello);
        changed_.notify_all();
    }
    const std::string nonce = "n-" + std::to_string(Clock::now().time_since_epoch().count());
    switch (auth) {
        case Auth::Drop: return;
        case Auth::Silent:
            while (!stop_.load()) {
                char buffer[64];
                if (io.readSome(buffer, sizeof buffer) < 0) return;
                io.idle(kPollSliceMs);
            }
            return;
        case Auth::Garbage: io.writeAll("\x01\x02 HELLO?? not a challenge\n"); return;
        case Auth::NoTimestamp: io.writeAll("AUTH_CHALLENGE nonce=" + nonce + "\n"); return;
        case Auth::Check:
        case Auth::RejectLowerCase: break;
    }
    // Fields in another order than usual, and the time stamp in hexadecimal.
    if (!io.writeAll("AUTH_CHALLENGE ts=0x10 nonce=" + nonce + " extra=1\n")) return;
    std::string response;
    if (!io.readLine(response, 10000)) return;
    const bool right = fieldsOf(response)["hmac"] == expectedHmac(uuid_, token_, nonce, 16) &&
                       response.rfind("AUTH_RESPONSE ", 0) == 0;
    if (auth == Auth::RejectLowerCase) {
        io.writeAll("auth_ok\n");
        return;
    }
    if (!right) {
        io.writeAll("AUTH_FAIL bad_hmac\n");
        return;
    }
    if (!io.writeAll("AUTH_OK\r\n")) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++authenticated_;
        dropControl_ = false;
        outgoing_.clear();
        changed_.notify_all();
    }
    std::string pending;
    while (!stop_.load()) {
        std::vector<std::string> out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (dropControl_) {
                dropControl_ = false;
                return;
            }
            out.swap(outgoing_);
        }
        for (const std::string& line : out) {
            if (!io.writeAll(line)) return;
        }
        char buffer[512];
        const int n = io.readSome(buffer, sizeof buffer);
        if (n < 0) return;
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::lock_guard<std::mutex> lock(mutex_);
            controlLines_.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            changed_.notify_all();
        }
        if (n == 0) io.idle(5);
    }
}

void StandInRelay::serveData(void* sslHandle, int fd, const std::string& init) {
    SSL* ssl = static_cast<SSL*>(sslHandle);
    Io io(ssl, fd, stop_);
    std::shared_ptr<Job> job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dataInits_.push_back(init);
        ++openData_;
        const auto it = jobs_.find(std::stoull(fieldsOf(init)["request_id"]));
        if (it != jobs_.end()) job = it->second;
        changed_.notify_all();
    }
    if (job && job->session) {
        // The session's owner uses the connection until it lets go.
        std::unique_lock<std::mutex> lock(mutex_);
        job->ssl = ssl;
        job->fd = fd;
        changed_.notify_all();
        changed_.wait(lock, [&] { return job->sessionOver || stop_.load(); });
        job->ssl = nullptr;
        --openData_;
        return;
    }
    std::string reply;
    bool ok = job && io.writeAll(job->request);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (ok && !stop_.load() && Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (job->held && releaseData_) break;
        }
        char buffer[16384];
        const int n = io.readSome(buffer, sizeof buffer);
        if (n < 0) break;
        if (n == 0) {
            io.idle(5);
            continue;
        }
        reply.append(buffer, static_cast<size_t>(n));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --openData_;
    if (job) {
        job->reply = std::move(reply);
        job->done = true;
    }
    changed_.notify_all();
}

bool StandInRelay::waitAuthenticated(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return authenticated_ >= count; });
}

int StandInRelay::authenticatedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return authenticated_;
}

std::vector<Clock::time_point> StandInRelay::acceptTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptTimes_;
}

int StandInRelay::acceptedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(acceptTimes_.size());
}

std::vector<std::string> StandInRelay::hellos() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hellos_;
}

std::vector<std::string> StandInRelay::controlLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlLines_;
}

bool StandInRelay::waitControlLine(const std::string& line, int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count(controlLines_.begin(), controlLines_.end(), line) >= count;
    });
}

void StandInRelay::sendControl(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.push_back(text);
}

void StandInRelay::dropControl() {
    std::lock_guard<std::mutex> lock(mutex_);
    dropControl_ = true;
}

std::vector<std::string> StandInRelay::dataInits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dataInits_;
}

std::optional<std::string> StandInRelay::relay(const std::string& request, int timeoutMs) {
    auto job = std::make_shared<Job>();
    job->request = request;
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t id = nextRequestId_++;
    jobs_[id] = job;
    outgoing_.push_back("NEW_DATA_CONNECTION request_id=" + std::to_string(id) + "\n");
    const bool done = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return job->done; });
    jobs_.erase(id);
    if (!done) return std::nullopt;
    return job->reply;
}

void StandInRelay::announceHeld(uint64_t requestId, const std::string& request) {
    auto job = std::make_shared<Job>();
    job->request = request;
    job->held = true;
    std::lock_guard<std::mutex> lock(mutex_);
    releaseData_ = false;
    jobs_[requestId] = job;
    outgoing_.push_back("NEW_DATA_CONNECTION request_id=" + std::to_string(requestId) + "\n");
}

int StandInRelay::openDataConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openData_;
}

void StandInRelay::releaseData() {
    std::lock_guard<std::mutex> lock(mutex_);
    releaseData_ = true;
}

std::unique_ptr<StandInRelay::DataSession> StandInRelay::openSession(int timeoutMs) {
    auto job = std::make_shared<Job>();
    job->session = true;
    job->stop = &stop_;
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t id = nextRequestId_++;
    jobs_[id] = job;
    outgoing_.push_back("NEW_DATA_CONNECTION request_id=" + std::to_string(id) + "\n");
    const bool open = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return job->ssl != nullptr; });
    jobs_.erase(id);
    if (!open) {
        job->sessionOver = true;
        return nullptr;
    }
    auto session = std::unique_ptr<DataSession>(new DataSession());
    session->job_ = job;
    // The session reports its end through the relay's condition.
    session->relay_ = this;
    return session;
}

StandInRelay::DataSession::~DataSession() {
    std::lock_guard<std::mutex> lock(relay_->mutex_);
    job_->sessionOver = true;
    relay_->changed_.notify_all();
}

bool StandInRelay::DataSession::send(const std::string& bytes) {
    Io io(job_->ssl, job_->fd, *job_->stop);
    return io.writeAll(bytes);
}

bool StandInRelay::DataSession::readReply(std::string* raw, int timeoutMs) {
    Io io(job_->ssl, job_->fd, *job_->stop);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // The length of a complete reply at the front of pending_, or 0.
    auto complete = [&]() -> size_t {
        const size_t headEnd = pending_.find("\r\n\r\n");
        if (headEnd == std::string::npos) return 0;
        const std::string head = pending_.substr(0, headEnd);
        if (head.find("Transfer-Encoding: chunked") != std::string::npos) {
            const size_t last = pending_.find("\r\n0\r\n\r\n", headEnd);
            return last == std::string::npos ? 0 : last + 7;
        }
        const size_t at = head.find("Content-Length: ");
        const size_t total = headEnd + 4 + (at == std::string::npos ? 0 : std::stoul(head.substr(at + 16)));
        return pending_.size() >= total ? total : 0;
    };
    for (;;) {
        if (const size_t n = complete()) {
            *raw = pending_.substr(0, n);
            pending_.erase(0, n);
            return true;
        }
        if (Clock::now() >= deadline) return false;
        char buffer[16384];
        const int n = io.readSome(buffer, sizeof buffer);
        if (n < 0) return false;
        if (n == 0) io.idle(5);
        else pending_.append(buffer, static_cast<size_t>(n));
    }
}
