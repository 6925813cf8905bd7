#include "net/http_request.h"

#include <cctype>

#include "app/text_util.h"
#include "net/streams.h"

namespace {

std::string lowerAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
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
    if (value.size() <= 7 || lowerAscii(value.substr(0, 7)) != "bearer ") return std::string();
    size_t start = 7;
    while (start < value.size() && value[start] == ' ') ++start;
    size_t end = value.size();
    while (end > start && (value[end - 1] == ' ' || value[end - 1] == '\r' || value[end - 1] == '\n')) --end;
    return value.substr(start, end - start);
}

bool readHttpRequest(InputStream& input, Request& request, const RequestLimits& limits) {
    request = Request();

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

    size_t headerLines = 0;
    int contentLengthLines = 0;
    for (;;) {
        line.clear();
        if (input.readLine(line, limits.maxLineBytes) < 0) return false;
        if (line.empty()) break;
        if (line.size() > limits.maxLineBytes) throw HttpRequestRejectedException(431, "Header line too long");
        headBytes += line.size();
        if (++headerLines > limits.maxHeaderLines) throw HttpRequestRejectedException(431, "Too many header lines");
        if (headBytes > limits.maxHeadBytes) throw HttpRequestRejectedException(431, "Request head too large");
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = lowerAscii(trimWhitespace(line.substr(0, colon)));
        if (name == "content-length") ++contentLengthLines;
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
    uint64_t maxBody = limits.maxBodyBytes;
    if (limits.bodyLimitFor) {
        const uint64_t tighter = limits.bodyLimitFor(request);
        if (tighter > 0 && tighter < maxBody) maxBody = tighter;
    }
    if (bodySize > maxBody) throw HttpRequestRejectedException(413, "Request body too large");
    request.body.resize(static_cast<size_t>(bodySize));
    size_t received = 0;
    while (received < request.body.size()) {
        const size_t chunk = std::min<size_t>(request.body.size() - received, 1 << 30);
        const int n = input.read(request.body.data() + received, static_cast<int>(chunk));
        if (n < 0) return false;
        received += static_cast<size_t>(n);
    }
    return true;
}
