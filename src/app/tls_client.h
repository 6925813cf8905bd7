// A small TLS client for the maker's web service: one connection, one
// request, the answer read until the server closes. The peer's certificate
// chain is verified against the system's trust store (SSL_CERT_FILE and
// SSL_CERT_DIR override it) and its name against the host asked for.
//
// REQUIRES: SIGPIPE ignored (initProcessPlatform), so a write to a closed
// connection fails instead of ending the process.
#pragma once

#include <cstddef>
#include <string>

struct TlsClientOptions {
    int connectTimeoutMs = 10000;  // TCP connect, per address tried
    int ioTimeoutMs = 30000;       // longest wait for the peer during handshake, write or read
    int totalTimeoutMs = 60000;    // the whole exchange after connecting
    size_t maxResponseBytes = 1024 * 1024;
};

// Connects to host:port, verifies the peer, sends `request` and returns every
// byte received until the peer closes the connection. Throws
// std::runtime_error: "HTTPS connection failed: <host> (<reason>)" when the
// connection or handshake fails (an unknown CA or a certificate for another
// name among them), and "HTTPS exchange failed: <host> (<reason>)" on a
// write or read failure, a time-out or an answer above maxResponseBytes.
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
