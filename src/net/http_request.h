// One parsed HTTP request, the parser that reads it from a connection, and
// the exceptions of the HTTP layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

class InputStream;

// How a connection reached the server: accepted on the TCP port, or relayed
// through an in-memory channel.
enum class ConnOrigin : int32_t { Socket = 0, Memory = 1 };

struct Request {
    std::string method;   // first token of the request line, case kept
    std::string target;   // second token as received
    std::string path;     // target before its first "?", not decoded
    std::string query;    // target after its first "?", "" without one
    std::string version;  // third token, e.g. "HTTP/1.1"
    std::map<std::string, std::string> headers;  // lower-cased names, trimmed
    std::vector<uint8_t> body;                   // exactly Content-Length bytes

    // The value of the header named `name` in any letter case, or "".
    std::string header(const std::string& name) const;
};

// The Bearer token of the Authorization header, or "".
std::string bearerToken(const Request& request);

// Answered 400 "Bad Request" as plain text by the connection loop.
class HttpBadRequestException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Answered 403 "Forbidden" as plain text by the connection loop.
class HttpForbiddenException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Answered 404 "Not Found" as plain text by the connection loop.
class HttpNotFoundException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A request the server will not read to its end (too long, too large, or in a
// form it does not support): answered with `status` as plain text, after which
// the connection closes.
class HttpRequestRejectedException : public std::runtime_error {
public:
    HttpRequestRejectedException(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// Bounds on what one request may make the server read and hold.
struct RequestLimits {
    size_t maxLineBytes = 8 * 1024;            // request line (414) or header line (431)
    size_t maxHeaderLines = 100;               // 431 beyond
    size_t maxHeadBytes = 64 * 1024;           // request line and headers together (431)
    uint64_t maxBodyBytes = 64ull * 1024 * 1024;  // Content-Length above it: 413
    // A tighter body limit for some requests, decided from the request line
    // and headers before any body byte is read (413 above it); 0 or no
    // function leaves maxBodyBytes.
    std::function<uint64_t(const Request& head)> bodyLimitFor;
};

// Reads one request from `input` into `request` (cleared first). Returns false
// when the stream ends before a request line (or two empty lines come first),
// inside the header block, or before the body is complete. Throws
// HttpBadRequestException for a malformed request line and for a missing-digit,
// negative or repeated Content-Length; HttpRequestRejectedException for the
// limits above (414, 431, 413) and for any Transfer-Encoding (501); lets
// IOException from the stream pass. Nothing of an over-long or refused body is
// read.
bool readHttpRequest(InputStream& input, Request& request, const RequestLimits& limits);
