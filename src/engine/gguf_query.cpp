#include "engine/gguf_reader.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool isWantedKey(const std::string& key, const std::vector<std::string>& wantedKeys) {
    if (wantedKeys.empty()) return true;
    for (const std::string& entry : wantedKeys) {
        if (entry == "*" || entry == key) return true;
        if (entry.size() >= 2 && entry.compare(entry.size() - 2, 2, ".*") == 0 &&
            key.compare(0, entry.size() - 1, entry, 0, entry.size() - 1) == 0 && key.size() >= entry.size() - 1) {
            return true;
        }
    }
    return false;
}

std::string queryParam(const std::string& query, const std::string& name) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string part = query.substr(start, end - start);
        const size_t eq = part.find('=');
        const std::string partName = eq == std::string::npos ? part : part.substr(0, eq);
        if (partName == name) return eq == std::string::npos ? std::string() : part.substr(eq + 1);
        start = end + 1;
    }
    return std::string();
}

std::string urlDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> splitKeyList(const std::string& text) {
    std::vector<std::string> keys;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        size_t b = start;
        size_t e = end;
        while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
        while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
        if (e > b) keys.push_back(text.substr(b, e - b));
        start = end + 1;
    }
    return keys;
}

std::vector<std::string> wantedKeysFromQuery(const std::string& query) {
    return splitKeyList(urlDecode(queryParam(query, "keys")));
}
