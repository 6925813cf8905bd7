#include "net/http_request.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "base/case_fold.h"
#include "base/text_util.h"
#include "net/streams.h"

namespace {

// Sets the stream's deadline for one request and lifts it on every way out.
class DeadlineScope {
public:
    explicit DeadlineScope(InputStream& input) : input_(input) {}
    ~DeadlineScope() { input_.clearDeadline(); }
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;
    void set(std::chrono::milliseconds fromNow) { input_.setDeadline(std::chrono::steady_clock::now() + fromNow); }

private:
    InputStream& input_;
};

// The most body bytes one read asks for: the part of the reserved buffer
// that is filled (and so touched) ahead of the bytes.
constexpr size_t kBodyReadStep = 64 * 1024;

// "HTTP/1." and one digit: the versions this server speaks.
bool isHttp1Version(const std::string& version) {
    return version.size() == 8 && version.compare(0, 7, "HTTP/1.") == 0 && version[7] >= '0' && version[7] <= '9';
}

// Content-Length as RFC 9110 defines it: one or more digits, nothing else.
// Returns false for anything else; values beyond `cap` are clamped to cap + 1.
bool parseContentLength(const std::string& text, uint64_t cap, uint64_t* length) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        if (value <= cap) value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    *length = value > cap ? cap + 1 : value;
    return true;
}

}  // namespace

std::string Request::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) return value;
    }
    return std::string();
}

std::string bearerToken(const Request& request) {
    const std::string value = request.header("Authorization");
    if (value.size() <= 7 || toLower(value.substr(0, 7)) != "bearer ") return std::string();
    size_t start = 7;
    while (start < value.size() && value[start] == ' ') ++start;
    size_t end = value.size();
    while (end > start && (value[end - 1] == ' ' || value[end - 1] == '\r' || value[end - 1] == '\n')) --end;
    return value.substr(start, end - start);
}

bool readHttpRequest(InputStream& input, Request& request, const RequestLimits& limits, OutputStream* interim) {
    request = Request();
    DeadlineScope deadline(input);

    // The head's deadline runs from its first byte: waiting for a request on
    // a kept-alive connection is bounded by the receive time-out alone.
    input.waitForData();
    if (limits.headDeadlineMs > 0) deadline.set(std::chrono::milliseconds(limits.headDeadlineMs));

    std::string line;
    if (input.readLine(line, limits.maxLineBytes) < 0) return false;
    if (line.empty()) {
        if (input.readLine(line, limits.maxLineBytes) < 0 || line.empty()) return false;
    }
    if (line.size() > limits.maxLineBytes) throw HttpRequestRejectedException(414, "Request line too long");
    size_t headBytes = line.size();

    std::string tokens[3];
    size_t found = 0;
    size_t pos = 0;
    while (found < 3) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) break;
        const size_t end = line.find_first_of(" \t", pos);
        tokens[found++] = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (end == std::string::npos) break;
        pos = end;
    }
    if (found < 3) throw HttpBadRequestException("Malformed request line: " + line);
    request.method = tokens[0];
    request.target = tokens[1];
    request.version = tokens[2];
    const size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) request.query = request.target.substr(question + 1);
    if (!isHttp1Version(request.version))
        throw HttpRequestRejectedException(505, "Unsupported HTTP version: " + request.version);

    size_t headerLines = 0;
    int contentLengthLines = 0;
    int hostLines = 0;
    for (;;) {
        line.clear();
        size_t strayCarriageReturn = std::string::npos;
        if (input.readLine(line, limits.maxLineBytes, &strayCarriageReturn) < 0) return false;
        if (line.empty()) break;
        if (line.size() > limits.maxLineBytes) throw HttpRequestRejectedException(431, "Header line too long");
        headBytes += line.size();
        if (++headerLines > limits.maxHeaderLines) throw HttpRequestRejectedException(431, "Too many header lines");
        if (headBytes > limits.maxHeadBytes) throw HttpRequestRejectedException(431, "Request head too large");
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        // White space or a carriage return inside a field name lets two
        // parsers disagree on which header a line is: refuse it.
        if (colon == 0 || line.find_first_of(" \t") < colon ||
            (strayCarriageReturn != std::string::npos && strayCarriageReturn <= colon))
            throw HttpBadRequestException("Malformed header line: " + line);
        const std::string name = toLower(line.substr(0, colon));
        if (name == "content-length") ++contentLengthLines;
        if (name == "host" && ++hostLines > 1) throw HttpBadRequestException("Repeated Host header");
        request.headers[name] = trimWhitespace(line.substr(colon + 1));
    }

    if (request.headers.count("transfer-encoding"))
        throw HttpRequestRejectedException(501, "Transfer-Encoding is not supported");
    const auto length = request.headers.find("content-length");
    if (length == request.headers.end()) return true;
    if (contentLengthLines > 1) throw HttpBadRequestException("Repeated Content-Length");
    uint64_t bodySize = 0;
    if (!parseContentLength(length->second, limits.maxBodyBytes, &bodySize))
        throw HttpBadRequestException("Invalid Content-Length: " + length->second);
    if (bodySize > limits.maxBodyBytes) throw HttpRequestRejectedException(413, "Request body too large");
    if (limits.bodyLimitFor) {
        const BodyLimitRule rule = limits.bodyLimitFor(request);
        if (rule.maxBytes > 0 && rule.maxBytes < limits.maxBodyBytes && bodySize > rule.maxBytes) {
            if (rule.code.empty())
                throw HttpRequestRejectedException(413, rule.message.empty() ? "Request body too large" : rule.message);
            throw HttpRequestRejectedException(rule.status, rule.message, rule.code);
        }
    }
    if (bodySize > limits.maxBodyBytes) throw HttpRequestRejectedException(413, "Request body too large");
    if (bodySize == 0) return true;
    if (interim && request.version == "HTTP/1.1" && toLower(request.header("Expect")) == "100-continue") {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        interim->write(kContinue, static_cast<int>(sizeof kContinue - 1));
        interim->flush();
    }
    // The declared length is within the route's limit: the buffer is
    // reserved once for it (no copies as it fills), but its pages are only
    // touched as bytes actually arrive, so a client that declares much and
    // sends little costs little.
    const size_t total = static_cast<size_t>(bodySize);
    request.body.reserve(total);
    size_t received = 0;
    const auto bodyStart = std::chrono::steady_clock::now();
    while (received < total) {
        if (limits.minBodyBytesPerSecond > 0) {
            // The next byte is due by the time the minimum rate allows for
            // everything received so far, plus the grace period.
            const uint64_t dueMs = static_cast<uint64_t>(limits.bodyGraceMs) +
                                   (static_cast<uint64_t>(received) + 1) * 1000 / limits.minBodyBytesPerSecond;
            input.setDeadline(bodyStart + std::chrono::milliseconds(dueMs));
        } else {
            input.clearDeadline();
        }
        const size_t room = std::min(total - received, kBodyReadStep);
        request.body.resize(received + room);
        const int n = input.read(request.body.data() + received, static_cast<int>(room));
        if (n < 0) {
            request.body.clear();
            request.body.shrink_to_fit();
            return false;
        }
        received += static_cast<size_t>(n);
        request.body.resize(received);
    }
    return true;
}
