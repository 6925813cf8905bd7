#include "base/conf_text.h"

#include <cctype>
#include <climits>
#include <stdexcept>

#include "base/text_util.h"

void forEachConfEntry(const std::string& text,
                      const std::function<bool(const std::string& key, const std::string& value)>& visit) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = trimWhitespace(line.substr(0, equals));
        if (key.empty()) continue;
        if (!visit(key, trimWhitespace(line.substr(equals + 1)))) return;
    }
}

std::map<std::string, std::string> parseConfText(const std::string& text) {
    std::map<std::string, std::string> values;
    forEachConfEntry(text, [&](const std::string& key, const std::string& value) {
        values[key] = value;
        return true;
    });
    return values;
}

long long leadingInteger(const std::string& text, bool* outOfRange) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        throw std::invalid_argument("invalid stoi argument");
    long long value = 0;
    *outOfRange = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            *outOfRange = true;
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    return negative ? -value : value;
}
