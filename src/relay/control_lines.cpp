#include "relay/control_lines.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cctype>
#include <limits>
#include <sstream>

namespace mivrelable::rtc {

namespace {

std::string trimSpace(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::string firstToken(const std::string& line) {
    const std::string trimmed = trimSpace(line);
    const size_t space = trimmed.find(' ');
    return space == std::string::npos ? trimmed : trimmed.substr(0, space);
}

std::map<std::string, std::string> parseKeyValueFields(const std::string& line) {
    std::map<std::string, std::string> fields;
    const std::string trimmed = trimSpace(line);
    const size_t space = trimmed.find(' ');
    if (space == std::string::npos) return fields;
    std::istringstream words(trimmed.substr(space + 1));
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) continue;
        fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return fields;
}

uint64_t parseRequestId(const std::string& text) {
    const std::string t = trimSpace(text);
    size_t i = 0;
    unsigned base = 10;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t value = 0;
    for (; i < t.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(t[i]);
        unsigned digit;
        if (std::isdigit(c)) digit = c - '0';
        else if (base == 16 && std::isxdigit(c)) digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else break;
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / base) return std::numeric_limits<uint64_t>::max();
        value = value * base + digit;
    }
    return value;
}

std::string hmacSha256Hex(const std::vector<uint8_t>& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

std::vector<uint8_t> sha256Bytes(const std::string& text) {
    std::vector<uint8_t> digest(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
    return digest;
}

std::string base64Encode(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                           uint8_t(bytes[i + 2]);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

std::string challengeMessage(const std::string& uuid, const std::string& nonce, const std::string& ts) {
    return uuid + ":" + nonce + ":" + std::to_string(parseRequestId(ts));
}

std::string helloFields(const std::string& uuid, int localPort, const std::string& hostname,
                        const std::string& token, const std::string& deviceSpecs, bool maskToken) {
    std::string shownToken = token;
    if (maskToken && shownToken.size() > 4) {
        for (size_t i = 4; i < shownToken.size(); ++i) shownToken[i] = 'X';
    }
    std::string text = uuid + " local_port=" + std::to_string(localPort) + " local_hostname=" + hostname +
                       " local_access_token=" + shownToken;
    if (!deviceSpecs.empty()) text += " device_specs=" + deviceSpecs;
    return text + "\n";
}

}  // namespace mivrelable::rtc
