#include "mgmt/https_client.h"

#include <stdexcept>

#include "base/logger.h"
#include "mgmt/http_answer_head.h"

bool isRequestSafeUrl(const std::string& url) {
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return false;
    }
    return true;
}

ParsedUrl parseUrl(const std::string& url) {
    // The URL goes into the request line and the Host line as it is: a CR,
    // LF or space there would start another header or request.
    if (!isRequestSafeUrl(url)) throw std::invalid_argument("invalid URL: control characters or spaces");
    ParsedUrl parsed;
    std::string rest = url;
    if (rest.rfind("https://", 0) == 0) {
        rest.erase(0, 8);
    } else if (rest.rfind("http://", 0) == 0) {
        rest.erase(0, 7);
        parsed.port = 80;
    }
    const size_t slash = rest.find('/');
    const std::string authority = slash == std::string::npos ? rest : rest.substr(0, slash);
    if (slash != std::string::npos) parsed.path = rest.substr(slash);
    const size_t colon = authority.find(':');
    if (colon == std::string::npos) {
        parsed.host = authority;
        return parsed;
    }
    parsed.host = authority.substr(0, colon);
    try {
        parsed.port = std::stoi(authority.substr(colon + 1));
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("invalid stoi argument");
    } catch (const std::out_of_range&) {
        throw std::out_of_range("stoi argument out of range");
    }
    return parsed;
}

std::string buildGetRequest(const std::string& host, const std::string& path, const std::string& bearerToken,
                            int64_t rangeStart) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (!bearerToken.empty()) request += "Authorization: Bearer " + bearerToken + "\r\n";
    if (rangeStart > 0) request += "Range: bytes=" + std::to_string(rangeStart) + "-\r\n";
    request += "\r\n";
    return request;
}

TlsClientOptions httpsGetOptions() {
    TlsClientOptions options;
    options.connectTimeoutMs = 10000;
    options.ioTimeoutMs = 15000;
    options.totalTimeoutMs = 30000;
    options.maxResponseBytes = kHttpsGetMaxAnswerBytes;
    return options;
}

std::string httpsGet(const std::string& host, int port, const std::string& pathWithQuery,
                     const std::string& bearerToken, const TlsClientOptions& options) {
    const std::string answer = tlsExchange(host, port, buildGetRequest(host, pathWithQuery, bearerToken, 0), options);
    const size_t separator = answer.find("\r\n\r\n");
    if (separator == std::string::npos) return answer;
    std::string body = answer.substr(separator + 4);

    // The status is the caller's to judge; the framing is ours. An answer
    // whose head cannot be read is handed on as it came.
    HttpAnswerHead head;
    std::string error;
    if (!parseHttpAnswerHead(answer.substr(0, separator), &head, &error)) {
        logMessage(9, "[https] GET %s%s: %s", host.c_str(), pathWithQuery.c_str(), error.c_str());
        return body;
    }
    logMessage(9, "[https] GET %s%s -> %s", host.c_str(), pathWithQuery.c_str(), head.statusLine.c_str());
    if (!head.transferEncoding.empty()) {
        throw std::runtime_error("chunked transfer encoding is not supported: " + host);
    }
    if (head.contentLength >= 0) {
        const auto declared = static_cast<uint64_t>(head.contentLength);
        if (body.size() < declared) {
            throw std::runtime_error("answer truncated: " + host + " (" + std::to_string(body.size()) + " of " +
                                     std::to_string(declared) + " bytes)");
        }
        body.resize(declared);
    }
    return body;
}
