// TLS and TCP transport of the relay client on OpenSSL 3. Every socket is
// non-blocking and every wait is bounded and also ends on the client's stop
// signal, so no handshake, read or write can hold a thread for ever.
// Failures come back as results plus an error text, never as exceptions.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace mivrelable::rtc {

class StopSignal;

// One-time library set-up; safe to call repeatedly from any thread.
void initOpenSsl();

// A client context (TLS 1.2 or newer). Unless `insecure`, the peer's chain
// is verified against `caFile` or, when that is empty, the system's trust
// store (SSL_CERT_FILE and SSL_CERT_DIR override it). Null when the context
// or the trust store cannot be made. Shared by every connection of one run.
std::shared_ptr<SSL_CTX> createTlsClientContext(const std::string& caFile, bool insecure);

// The text of the oldest queued OpenSSL error, or "ssl_error"; clears the
// queue.
std::string sslErrorText();

// Connects to host:port (every resolved address in turn, each with up to
// `timeoutMs`). Returns a non-blocking, close-on-exec socket, or -1 with
// `error` set: "getaddrinfo: <text>", "connect timeout/failure" or "stopped".
int tcpConnectWithTimeout(const std::string& host, int port, int timeoutMs, const StopSignal* stop,
                          std::string* error);

// One TLS connection; the owner shuts it down and closes it (the destructor
// frees the session and closes the socket). Used by one thread; another
// thread may only call shutdownSocket() to wake it.
class TlsConnection {
public:
    TlsConnection(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    SSL* ssl() const { return ssl_; }
    int fd() const { return fd_; }
    // Sends the TLS close notice (best effort, never waits).
    void closeNotify();
    // shutdown(2) of the socket: any thread; the descriptor stays owned here.
    void shutdownSocket();

private:
    SSL* ssl_;
    int fd_;
};

// Connects and completes the handshake within `handshakeTimeoutMs`. Unless
// the context is insecure, the relay's certificate must name `host`
// (SSL_set1_host; an IP literal is matched as an address). Null with `error`
// set: the connect texts above, "certificate verify failed: <reason>",
// "handshake timed out", "stopped" or the OpenSSL error text.
std::unique_ptr<TlsConnection> tlsConnect(SSL_CTX* ctx, const std::string& host, int port, int connectTimeoutMs,
                                          int handshakeTimeoutMs, const StopSignal* stop, std::string* error);

// Reads one line: "\n" ends it (not stored), every "\r" is dropped, and a
// line stops after `limit` bytes (the rest is the next line). The whole line
// must arrive within `timeoutMs` (negative: no limit). False when the peer
// closed (error untouched), on a failure ("read timed out", "stopped", the
// OpenSSL text).
bool tlsReadLine(TlsConnection& connection, std::string& line, size_t limit, int timeoutMs, const StopSignal* stop,
                 std::string* error);

// Writes all of `text`, each wait for the peer bounded by `stallTimeoutMs`.
// False on failure ("write timed out", "stopped", the OpenSSL text).
bool tlsWriteAll(TlsConnection& connection, const std::string& text, int stallTimeoutMs, const StopSignal* stop,
                 std::string* error);

// What a TLS call asks for after returning <= 0: 0 done/closed, else the
// poll events to wait for (POLLIN or POLLOUT); -1 a hard failure.
int tlsWantEvents(SSL* ssl, int result);

// Waits until `fd` has `events`, the stop fd turns readable or `timeoutMs`
// passes (negative: no limit). 1 ready, 0 time-out, -1 stop or failure.
int waitSocket(int fd, short events, int timeoutMs, const StopSignal* stop);

}  // namespace mivrelable::rtc
