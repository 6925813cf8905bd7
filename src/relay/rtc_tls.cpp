#include "relay/rtc_tls.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/socket_errors.h"
#include "relay/stop_signal.h"

namespace mivrelable::rtc {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool isIpLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

void reportConnectError(int winsockCode) {
    if (winsockCode == sockerr::kConnectionRefused) {
        std::printf("[에러] WSAECONNREFUSED (%d): 연결 거부\n", winsockCode);
    } else if (winsockCode == sockerr::kTimedOut) {
        std::printf("[에러] WSAETIMEDOUT (%d): 제한시간 초과\n", winsockCode);
    } else {
        std::printf("[에러] 기타 원인 (Error Code: %d)\n", winsockCode);
    }
}

}  // namespace

bool StopSignal::sleepFor(int ms) const {
    pollfd p{fd(), POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (raised()) return false;
        const int n = ::poll(&p, 1, millisLeft(deadline));
        if (n > 0) return false;
        if (n == 0) return true;
        if (errno != EINTR) return !raised();
    }
}

void initOpenSsl() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_ssl(0, nullptr);
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    });
}

std::shared_ptr<SSL_CTX> createTlsClientContext(const std::string& caFile, bool insecure) {
    SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
    if (!raw) return nullptr;
    std::shared_ptr<SSL_CTX> ctx(raw, SSL_CTX_free);
    SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION);
    SSL_CTX_set_mode(raw, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    // A relay that ends a connection without a close notice has still ended
    // it: that is a close, not a read error.
    SSL_CTX_set_options(raw, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (insecure) {
        SSL_CTX_set_verify(raw, SSL_VERIFY_NONE, nullptr);
        return ctx;
    }
    SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
    const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(raw)
                                      : SSL_CTX_load_verify_locations(raw, caFile.c_str(), nullptr);
    if (loaded != 1) return nullptr;
    return ctx;
}

std::string sslErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "ssl_error";
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

int waitSocket(int fd, short events, int timeoutMs, const StopSignal* stop) {
    pollfd p[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (stop && stop->raised()) return -1;
        const int n = ::poll(p, stop ? 2 : 1, timeoutMs < 0 ? -1 : millisLeft(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        if (stop && (p[1].revents & POLLIN)) return -1;
        if (p[0].revents) return 1;
    }
}

int tcpConnectWithTimeout(const std::string& host, int port, int timeoutMs, const StopSignal* stop,
                          std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        if (error) *error = std::string("getaddrinfo: ") + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (stop && stop->raised()) break;
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int err = 0;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS || err == EAGAIN) {
                const int ready = waitSocket(fd, POLLOUT, timeoutMs, stop);
                if (ready > 0) {
                    socklen_t len = sizeof err;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
                } else {
                    err = ready == 0 ? ETIMEDOUT : ECANCELED;
                }
            }
        }
        if (err == 0) return fd;
        ::close(fd);
        if (err == ECANCELED) break;
        reportConnectError(winsockErrorFromErrno(err));
    }
    if (error) *error = (stop && stop->raised()) ? "stopped" : "connect timeout/failure";
    return -1;
}

TlsConnection::~TlsConnection() {
    SSL_free(ssl_);
    ::close(fd_);
}

void TlsConnection::closeNotify() {
    // The socket is non-blocking: this sends what it can and never waits.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

void TlsConnection::shutdownSocket() { ::shutdown(fd_, SHUT_RDWR); }

int tlsWantEvents(SSL* ssl, int result) {
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ) return POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) return POLLOUT;
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    return -1;
}

std::unique_ptr<TlsConnection> tlsConnect(SSL_CTX* ctx, const std::string& host, int port, int connectTimeoutMs,
                                          int handshakeTimeoutMs, const StopSignal* stop, std::string* error) {
    const int fd = tcpConnectWithTimeout(host, port, connectTimeoutMs, stop, error);
    if (fd < 0) return nullptr;
    SSL* ssl = SSL_new(ctx);
    if (!ssl) {
        ::close(fd);
        if (error) *error = "SSL_new failed";
        return nullptr;
    }
    auto connection = std::make_unique<TlsConnection>(ssl, fd);
    SSL_set_tlsext_host_name(ssl, host.c_str());
    if (SSL_CTX_get_verify_mode(ctx) != SSL_VERIFY_NONE) {
        // The chain alone proves nothing about who answers: the certificate
        // must also be issued to the relay's own name.
        const int named = isIpLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str())
                                            : SSL_set1_host(ssl, host.c_str());
        if (named != 1) {
            if (error) *error = "certificate verify failed: bad host name";
            return nullptr;
        }
    }
    SSL_set_fd(ssl, fd);
    const auto deadline = Clock::now() + std::chrono::milliseconds(handshakeTimeoutMs);
    for (;;) {
        ERR_clear_error();
        const int rc = SSL_connect(ssl);
        if (rc == 1) break;
        const int events = tlsWantEvents(ssl, rc);
        if (events <= 0) {
            const long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK) {
                if (error) *error = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
                ERR_clear_error();
            } else if (error) {
                *error = sslErrorText();
            }
            return nullptr;
        }
        const int ready = waitSocket(fd, static_cast<short>(events), millisLeft(deadline), stop);
        if (ready <= 0) {
            if (error) *error = ready == 0 ? "handshake timed out" : "stopped";
            return nullptr;
        }
    }
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK && SSL_get_verify_mode(ssl) != SSL_VERIFY_NONE) {
        if (error) *error = std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
        return nullptr;
    }
    return connection;
}

bool tlsReadLine(TlsConnection& connection, std::string& line, size_t limit, int timeoutMs, const StopSignal* stop,
                 std::string* error) {
    line.clear();
    line.reserve(256);
    if (limit == 0) return true;
    const bool bounded = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeoutMs : 0);
    SSL* ssl = connection.ssl();
    for (;;) {
        char c;
        ERR_clear_error();
        const int n = SSL_read(ssl, &c, 1);
        if (n <= 0) {
            const int events = tlsWantEvents(ssl, n);
            if (events == 0) return false;
            if (events < 0) {
                // An orderly TCP close without a close notice is a close too.
                if (SSL_get_error(ssl, n) == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return false;
                if (error) *error = sslErrorText();
                return false;
            }
            const int ready = waitSocket(connection.fd(), static_cast<short>(events),
                                         bounded ? millisLeft(deadline) : -1, stop);
            if (ready <= 0) {
                if (error) *error = ready == 0 ? "read timed out" : "stopped";
                return false;
            }
            continue;
        }
        if (c == '\n') return true;
        if (c != '\r') line.push_back(c);
        if (line.size() >= limit) return true;
    }
}

bool tlsWriteAll(TlsConnection& connection, const std::string& text, int stallTimeoutMs, const StopSignal* stop,
                 std::string* error) {
    size_t sent = 0;
    SSL* ssl = connection.ssl();
    while (sent < text.size()) {
        ERR_clear_error();
        const int n = SSL_write(ssl, text.data() + sent, static_cast<int>(std::min<size_t>(text.size() - sent, 1 << 20)));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int events = tlsWantEvents(ssl, n);
        if (events <= 0) {
            if (error) *error = sslErrorText();
            return false;
        }
        const int ready = waitSocket(connection.fd(), static_cast<short>(events), stallTimeoutMs, stop);
        if (ready <= 0) {
            if (error) *error = ready == 0 ? "write timed out" : "stopped";
            return false;
        }
    }
    return true;
}

}  // namespace mivrelable::rtc
