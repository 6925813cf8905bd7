#include "desktop/rules/page_origin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool hasUnsafeCharacters(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; });
}

// Splits "scheme://authority..." into scheme, host and port (-1 for none).
// False when the text is not an absolute http(s) URL with a host.
bool splitWebUrl(const std::string& url, std::string* scheme, std::string* host, int* port) {
    if (hasUnsafeCharacters(url)) return false;
    const size_t colon = url.find("://");
    if (colon == std::string::npos) return false;
    *scheme = lower(url.substr(0, colon));
    if (*scheme != "http" && *scheme != "https") return false;
    const size_t start = colon + 3;
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    std::string authority = url.substr(start, end - start);
    if (authority.find('@') != std::string::npos) return false;  // no user information
    *port = -1;
    std::string hostPart = authority;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        hostPart = authority.substr(0, close + 1);
        authority = authority.substr(close + 1);
    } else {
        const size_t portColon = authority.rfind(':');
        hostPart = authority.substr(0, portColon);
        authority = portColon == std::string::npos ? "" : authority.substr(portColon);
    }
    if (!authority.empty()) {
        if (authority[0] != ':' || authority.size() < 2 || authority.size() > 6) return false;
        int value = 0;
        for (size_t i = 1; i < authority.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(authority[i]))) return false;
            value = value * 10 + (authority[i] - '0');
        }
        if (value < 1 || value > 65535) return false;
        *port = value;
    }
    *host = lower(hostPart);
    return !host->empty();
}

}  // namespace

std::string urlOrigin(const std::string& url) {
    std::string scheme, host;
    int port = -1;
    if (!splitWebUrl(url, &scheme, &host, &port)) return "";
    const int defaultPort = scheme == "https" ? 443 : 80;
    if (port == defaultPort) port = -1;
    return scheme + "://" + host + (port > 0 ? ":" + std::to_string(port) : "");
}

bool isLocalAppOrigin(const std::string& url, int port) {
    std::string scheme, host;
    int urlPort = -1;
    if (!splitWebUrl(url, &scheme, &host, &urlPort)) return false;
    if (scheme != "http") return false;
    if (host != "localhost" && host != "127.0.0.1") return false;
    return (urlPort < 0 ? 80 : urlPort) == port;
}

bool isWebUrl(const std::string& text) {
    std::string scheme, host;
    int port = -1;
    return splitWebUrl(text, &scheme, &host, &port);
}

bool isExistingFolder(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string makeLocalUrl(int port, const std::string& path) {
    return "http://localhost:" + std::to_string(port) + path;
}
