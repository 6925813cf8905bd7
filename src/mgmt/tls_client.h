// The server's one TLS client, used for the maker's web service, the model
// catalogue and model file transfers: one connection per request. The peer's
// certificate chain is verified against the system's trust store
// (SSL_CERT_FILE and SSL_CERT_DIR override it) and its name against the host
// asked for; TLS 1.2 is the oldest version spoken.
//
// REQUIRES: SIGPIPE ignored (initProcessPlatform), so a write to a closed
// connection fails instead of ending the process.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

struct TlsClientOptions {
    int connectTimeoutMs = 10000;  // TCP connect, per address tried
    int ioTimeoutMs = 30000;       // longest wait for the peer during handshake, write or read
    int totalTimeoutMs = 60000;    // the whole exchange after connecting; 0 or less: no bound
    size_t maxResponseBytes = 1024 * 1024;  // tlsExchange only
    // Asked about every 200 ms while the connection waits for the peer; when
    // it answers true the wait ends with TlsCancelled. Called on the thread
    // that uses the connection.
    std::function<bool()> cancelled;
};

// Thrown when TlsClientOptions::cancelled asked a wait to end.
class TlsCancelled : public std::runtime_error {
public:
    TlsCancelled() : std::runtime_error("cancelled") {}
};

// One connected, verified TLS connection. Not copyable; one thread at a time
// (REQUIRES external synchronization); different connections are independent.
class TlsConnection {
public:
    // Connects to host:port and completes the handshake within the options'
    // bounds. Throws std::runtime_error "HTTPS connection failed: <host>
    // (<reason>)" when the connection or the handshake fails (an unknown CA
    // or a certificate for another name among them), and TlsCancelled.
    TlsConnection(const std::string& host, int port, const TlsClientOptions& options = {});
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // Sends every byte. Throws "HTTPS exchange failed: <host> (<reason>)" on
    // a write failure or time-out, and TlsCancelled.
    void writeAll(const std::string& bytes);

    // Reads up to `size` bytes into `buffer`: the count (above 0), or 0 at
    // the end of the stream (the peer closed, with or without close-notify).
    // Throws "HTTPS exchange failed: <host> (<reason>)" on a read error or a
    // time-out, and TlsCancelled.
    size_t read(char* buffer, size_t size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Connects to host:port, verifies the peer, sends `request` and returns every
// byte received until the peer closes the connection. Throws what
// TlsConnection throws, and "HTTPS exchange failed: <host> (answer larger
// than N bytes)" for an answer above maxResponseBytes.
// Safe for concurrent use by multiple threads.
std::string tlsExchange(const std::string& host, int port, const std::string& request,
                        const TlsClientOptions& options = {});

// POSTs `body` as "application/json" with HTTP/1.0 to https://host:port/path
// and returns the answer after the first blank line ("\r\n\r\n"), or the
// whole answer when there is none. The status code is logged (level 9), not
// checked. Throws what tlsExchange throws.
// Safe for concurrent use by multiple threads.
std::string httpsPostJson(const std::string& host, int port, const std::string& path, const std::string& body,
                          const TlsClientOptions& options = {});
