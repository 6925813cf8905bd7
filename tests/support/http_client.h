// A tiny blocking HTTP/1.1 client for tests: raw bytes out, one parsed reply
// (whole or chunked) in, with the exact wire bytes kept for byte-for-byte
// comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct HttpReply {
    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;  // in wire order
    std::string body;  // decoded (chunks joined)
    std::string raw;   // the reply's bytes exactly as received
    bool chunked = false;

    // The first header with this name (any letter case), or "".
    std::string header(const std::string& name) const;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A request's bytes: request line, "Host: 127.0.0.1" unless `headers` has a
// Host, the headers, Content-Length when `body` is not empty, an empty line,
// the body.
std::string buildRequest(const std::string& method, const std::string& target, const HeaderList& headers = {},
                         const std::string& body = "", const std::string& version = "HTTP/1.1");

class HttpConnection {
public:
    HttpConnection() = default;
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Connects to `address`:`port`. False on failure.
    bool connect(uint16_t port, const std::string& address = "127.0.0.1");
    // Sends all bytes. False when the connection refused them.
    bool send(const std::string& bytes);
    // Reads one reply. False when the connection ended or `timeoutMs` passed
    // before a complete reply.
    bool readReply(HttpReply* reply, int timeoutMs = 10000);
    // True when the server closes the connection within `timeoutMs` (bytes
    // still arriving are discarded).
    bool waitClosed(int timeoutMs = 5000);
    // Closes with a reset (SO_LINGER 0) instead of an orderly close.
    void reset();
    void close();
    int fd() const { return fd_; }

private:
    // Reads more bytes into pending_; false on end, error or time-out.
    bool fill(int timeoutMs);

    int fd_ = -1;
    std::string pending_;
};

// One request on a new connection; status 0 when no reply came within
// `timeoutMs`.
HttpReply httpRequest(uint16_t port, const std::string& method, const std::string& target,
                      const HeaderList& headers = {}, const std::string& body = "", int timeoutMs = 10000);
