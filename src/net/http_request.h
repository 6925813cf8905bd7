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
class OutputStream;

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
// form it does not support): answered with `status`, as plain text when
// `code` is empty and as the JSON error {code, message} otherwise; the
// connection closes after it.
class HttpRequestRejectedException : public std::runtime_error {
public:
    HttpRequestRejectedException(int status, const std::string& message, std::string code = std::string())
        : std::runtime_error(message), status_(status), code_(std::move(code)) {}
    int status() const noexcept { return status_; }
    const std::string& code() const noexcept { return code_; }

private:
    int status_;
    std::string code_;
};

// A tighter body limit for one kind of request and how a body beyond it is
// refused: `status` with the JSON error `code` and `message`, or 413 plain
// text when `code` is empty. maxBytes 0 leaves the general limit.
struct BodyLimitRule {
    uint64_t maxBytes = 0;
    int status = 413;
    std::string code;
    std::string message;
};

// Bounds on what one request may make the server read and hold.
struct RequestLimits {
    size_t maxLineBytes = 8 * 1024;            // request line (414) or header line (431)
    size_t maxHeaderLines = 100;               // 431 beyond
    size_t maxHeadBytes = 64 * 1024;           // request line and headers together (431)
    uint64_t maxBodyBytes = 64ull * 1024 * 1024;  // Content-Length above it: 413
    // The whole head must arrive within this time of its first byte; 0 off.
    int headDeadlineMs = 10000;
    // A body must arrive at this rate at least, after a grace period from the
    // end of the head; 0 off. Slower clients are disconnected (time-out).
    uint64_t minBodyBytesPerSecond = 4096;
    int bodyGraceMs = 10000;
    // A tighter body limit for some requests, decided from the request line
    // and headers before any body byte is read; no function, or a rule with
    // maxBytes 0, leaves maxBodyBytes.
    std::function<BodyLimitRule(const Request& head)> bodyLimitFor;
};

// Reads one request from `input` into `request` (cleared first). Returns false
// when the stream ends before a request line (or two empty lines come first),
// inside the header block, or before the body is complete. Throws
// HttpBadRequestException for a malformed request line, a header name with
// white space or a bare carriage return in it, a second Host header, and a
// missing-digit, negative or repeated Content-Length;
// HttpRequestRejectedException for the limits above (414, 431, 413 or the
// route's own rule), any Transfer-Encoding (501) and a version other than
// HTTP/1.x (505); lets IOException from the stream pass. Nothing of an
// over-long or refused body is read; the body buffer is reserved once from
// the declared length (already within the limits) and its memory is touched
// only as bytes arrive. A head slower than
// headDeadlineMs or a body slower than minBodyBytesPerSecond ends in the
// stream's time-out (IOException 10060). When `interim` is given and
// an HTTP/1.1 request with a body says "Expect: 100-continue", the interim
// "100 Continue" reply is written there before the body is read.
bool readHttpRequest(InputStream& input, Request& request, const RequestLimits& limits,
                     OutputStream* interim = nullptr);
