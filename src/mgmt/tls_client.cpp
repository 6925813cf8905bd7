#include "mgmt/tls_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "base/logger.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

class ExchangeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool isIpLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

int millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` is ready for `events`; false on time-out.
bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, timeoutMs);
        if (n >= 0) return n > 0;
        if (errno != EINTR) return false;
    }
}

// One non-blocking TCP connection to the first address that answers.
int connectSocket(const std::string& host, int port, int timeoutMs, std::string* reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *reason = std::string("cannot resolve host: ") + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    *reason = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            *reason = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                if (!waitFor(fd, POLLOUT, timeoutMs)) {
                    ::close(fd);
                    *reason = "connect timed out after " + std::to_string(timeoutMs) + " ms";
                    continue;
                }
                socklen_t len = sizeof err;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            }
        }
        if (err == 0) return fd;
        ::close(fd);
        *reason = std::string("connect: ") + std::strerror(err);
    }
    return -1;
}

std::string opensslErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return std::string();
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

// How long one wait lasts at most when a cancellation test is set, so a
// cancel takes effect within about this time.
constexpr int kCancelPollMs = 200;

// Waits for `events` on `fd` within the options' bounds, asking the
// cancellation test between slices. Throws ExchangeError on time-out and
// TlsCancelled when cancelled.
void waitForPeer(int fd, short events, const TlsClientOptions& options, Clock::time_point deadline,
                 bool bounded, const char* what) {
    const Clock::time_point ioEnd = Clock::now() + std::chrono::milliseconds(options.ioTimeoutMs);
    const Clock::time_point end = bounded ? std::min(ioEnd, deadline) : ioEnd;
    for (;;) {
        if (options.cancelled && options.cancelled()) throw TlsCancelled();
        int wait = millisLeft(end);
        if (wait <= 0) throw ExchangeError(std::string(what) + " timed out");
        if (options.cancelled) wait = std::min(wait, kCancelPollMs);
        if (waitFor(fd, events, wait)) return;
    }
}

// Drives one non-blocking SSL call to completion, waiting for the socket as
// the call asks. Returns the call's positive result, 0 at a clean end of the
// stream, or throws ExchangeError (TlsCancelled when cancelled).
template <typename Call>
int drive(SSL* ssl, int fd, const TlsClientOptions& options, Clock::time_point deadline, bool bounded,
          const char* what, Call call) {
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int n = call();
        if (n > 0) return n;
        const int error = SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        if (events == 0) {
            if (error == SSL_ERROR_SYSCALL && errno != 0) {
                throw ExchangeError(std::string(what) + ": " + std::strerror(errno));
            }
            const std::string detail = opensslErrorText();
            throw ExchangeError(std::string(what) + " failed" + (detail.empty() ? "" : ": " + detail));
        }
        waitForPeer(fd, events, options, deadline, bounded, what);
    }
}

std::string hostHeader(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    std::string text = ipv6 ? "[" + host + "]" : host;
    if (port != 443) text += ":" + std::to_string(port);
    return text;
}

}  // namespace

struct TlsConnection::State {
    std::string host;
    TlsClientOptions options;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    std::unique_ptr<Socket> socket;
    std::unique_ptr<SSL, SslFree> ssl;  // declared after the socket: freed before it closes
    Clock::time_point deadline;
    bool bounded = false;

    std::string exchangeFailed(const std::string& reason) const {
        return "HTTPS exchange failed: " + host + " (" + reason + ")";
    }
};

TlsConnection::TlsConnection(const std::string& host, int port, const TlsClientOptions& options)
    : state_(std::make_unique<State>()) {
    State& st = *state_;
    st.host = host;
    st.options = options;
    const std::string failed = "HTTPS connection failed: " + host + " (";

    st.ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!st.ctx) throw std::runtime_error("Failed to create SSL_CTX");
    SSL_CTX_set_min_proto_version(st.ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(st.ctx.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(st.ctx.get()) != 1) {
        throw std::runtime_error(failed + "cannot load the trusted certificates)");
    }
    // HTTP/1.0 answers end when the server closes; many servers close
    // without a TLS close-notify. Callers that know the length check it.
    SSL_CTX_set_options(st.ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(st.ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    st.ssl.reset(SSL_new(st.ctx.get()));
    if (!st.ssl) throw std::runtime_error("Failed to create BIO");
    if (isIpLiteral(host)) {
        if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(st.ssl.get()), host.c_str()) != 1) {
            throw std::runtime_error(failed + "bad address)");
        }
    } else if (SSL_set_tlsext_host_name(st.ssl.get(), host.c_str()) != 1 ||
               SSL_set1_host(st.ssl.get(), host.c_str()) != 1) {
        throw std::runtime_error(failed + "bad host name)");
    }

    std::string reason;
    st.socket = std::make_unique<Socket>(connectSocket(host, port, options.connectTimeoutMs, &reason));
    if (st.socket->get() < 0) throw std::runtime_error(failed + reason + ")");
    if (SSL_set_fd(st.ssl.get(), st.socket->get()) != 1) throw std::runtime_error("Failed to create BIO");

    st.bounded = options.totalTimeoutMs > 0;
    st.deadline = Clock::now() + std::chrono::milliseconds(st.bounded ? options.totalTimeoutMs : 0);
    SSL* s = st.ssl.get();
    try {
        drive(s, st.socket->get(), st.options, st.deadline, st.bounded, "handshake", [&] { return SSL_connect(s); });
    } catch (const ExchangeError& e) {
        const long verify = SSL_get_verify_result(s);
        if (verify != X509_V_OK) {
            throw std::runtime_error(failed + "certificate verification failed: " +
                                     X509_verify_cert_error_string(verify) + ")");
        }
        throw std::runtime_error(failed + e.what() + ")");
    }
}

TlsConnection::~TlsConnection() = default;

void TlsConnection::writeAll(const std::string& bytes) {
    State& st = *state_;
    SSL* s = st.ssl.get();
    try {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 20));
            const int n = drive(s, st.socket->get(), st.options, st.deadline, st.bounded, "write",
                                [&] { return SSL_write(s, bytes.data() + sent, chunk); });
            if (n == 0) throw ExchangeError("connection closed while writing");
            sent += static_cast<size_t>(n);
        }
    } catch (const ExchangeError& e) {
        throw std::runtime_error(st.exchangeFailed(e.what()));
    }
}

size_t TlsConnection::read(char* buffer, size_t size) {
    State& st = *state_;
    SSL* s = st.ssl.get();
    const int want = static_cast<int>(std::min<size_t>(size, 1 << 30));
    try {
        const int n = drive(s, st.socket->get(), st.options, st.deadline, st.bounded, "read",
                            [&] { return SSL_read(s, buffer, want); });
        return static_cast<size_t>(n);
    } catch (const ExchangeError& e) {
        throw std::runtime_error(st.exchangeFailed(e.what()));
    }
}

std::string tlsExchange(const std::string& host, int port, const std::string& request,
                        const TlsClientOptions& options) {
    TlsConnection connection(host, port, options);
    connection.writeAll(request);
    std::string answer;
    char buffer[8192];
    for (;;) {
        const size_t n = connection.read(buffer, sizeof buffer);
        if (n == 0) break;
        if (answer.size() + n > options.maxResponseBytes) {
            throw std::runtime_error("HTTPS exchange failed: " + host + " (answer larger than " +
                                     std::to_string(options.maxResponseBytes) + " bytes)");
        }
        answer.append(buffer, n);
    }
    return answer;
}

std::string httpsPostJson(const std::string& host, int port, const std::string& path, const std::string& body,
                          const TlsClientOptions& options) {
    const std::string request = "POST " + path + " HTTP/1.0\r\nHost: " + hostHeader(host, port) +
                                "\r\nContent-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const std::string answer = tlsExchange(host, port, request, options);
    const size_t lineEnd = answer.find("\r\n");
    const std::string statusLine = lineEnd == std::string::npos ? answer : answer.substr(0, lineEnd);
    logMessage(9, "[https] POST %s%s -> %s", host.c_str(), path.c_str(), statusLine.c_str());
    const size_t separator = answer.find("\r\n\r\n");
    return separator == std::string::npos ? answer : answer.substr(separator + 4);
}
