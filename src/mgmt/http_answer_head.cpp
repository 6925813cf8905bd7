#include "mgmt/http_answer_head.h"

#include <cctype>
#include <limits>

#include "base/case_fold.h"

namespace {

std::string trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    return text.substr(begin, end - begin);
}

// A plain decimal number without sign that fits 63 bits.
bool parseDecimal(const std::string& text, int64_t* value) {
    if (text.empty() || text.size() > 18) return false;
    int64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool parseHttpAnswerHead(const std::string& head, HttpAnswerHead* out, std::string* error) {
    HttpAnswerHead parsed;
    size_t lineEnd = head.find("\r\n");
    parsed.statusLine = head.substr(0, lineEnd);
    const std::string& line = parsed.statusLine;
    // "HTTP/1.1 206 Partial Content"
    const bool shaped = line.size() >= 12 && line.compare(0, 5, "HTTP/") == 0 && isDigit(line[5]) &&
                        line[6] == '.' && isDigit(line[7]) && line[8] == ' ' && isDigit(line[9]) &&
                        isDigit(line[10]) && isDigit(line[11]) && (line.size() == 12 || line[12] == ' ');
    if (!shaped) {
        *error = "bad status line: " + line.substr(0, 80);
        return false;
    }
    parsed.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');

    while (lineEnd != std::string::npos) {
        const size_t begin = lineEnd + 2;
        lineEnd = head.find("\r\n", begin);
        const std::string field = head.substr(begin, lineEnd == std::string::npos ? std::string::npos : lineEnd - begin);
        const size_t colon = field.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = toLower(trim(field.substr(0, colon)));
        const std::string value = trim(field.substr(colon + 1));
        if (name == "content-length") {
            int64_t length = 0;
            if (!parseDecimal(value, &length) || (parsed.contentLength >= 0 && parsed.contentLength != length)) {
                *error = "bad Content-Length: " + value.substr(0, 40);
                return false;
            }
            parsed.contentLength = length;
        } else if (name == "content-range") {
            parsed.contentRange = value;
        } else if (name == "transfer-encoding") {
            // "identity" is the absence of an encoding.
            if (toLower(value) != "identity") parsed.transferEncoding = value;
        }
    }
    *out = std::move(parsed);
    return true;
}

bool parseContentRange(const std::string& value, int64_t* first, int64_t* last, int64_t* total) {
    const std::string text = trim(value);
    if (toLower(text.substr(0, 6)) != "bytes ") return false;
    const std::string spec = trim(text.substr(6));
    const size_t dash = spec.find('-');
    const size_t slash = spec.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
    int64_t a = 0;
    int64_t b = 0;
    int64_t c = -1;
    if (!parseDecimal(spec.substr(0, dash), &a) || !parseDecimal(spec.substr(dash + 1, slash - dash - 1), &b)) {
        return false;
    }
    const std::string totalText = spec.substr(slash + 1);
    if (totalText != "*" && (!parseDecimal(totalText, &c) || c <= b)) return false;
    if (a > b) return false;
    *first = a;
    *last = b;
    *total = c;
    return true;
}
