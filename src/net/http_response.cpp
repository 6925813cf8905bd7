#include "net/http_response.h"

#include <nlohmann/json.hpp>

void Response::setBody(const std::vector<uint8_t>& bytes) {
    body = bytes;
    headers["Content-Length"] = std::to_string(body.size());
}

void Response::setBody(const std::string& text) {
    body.assign(text.begin(), text.end());
    headers["Content-Length"] = std::to_string(body.size());
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 101: return "Switching Protocols";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non-Authoritative Information";
        case 204: return "No Content";
        case 205: return "Reset Content";
        case 206: return "Partial Content";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 305: return "Use Proxy";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length Required";
        case 412: return "Precondition Failed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Range Not Satisfiable";
        case 417: return "Expectation Failed";
        case 421: return "Misdirected Request";
        case 422: return "Unprocessable Content";
        case 426: return "Upgrade Required";
        case 428: return "Precondition Required";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

std::string formatSseEvent(const std::string& event, const std::string& data) {
    return "event: " + event + "\ndata: " + data + "\n\n";
}

std::string makeErrorJson(const std::string& code, const std::string& message, int httpStatus) {
    nlohmann::json inner;
    inner["code"] = code;
    if (httpStatus > 0) inner["httpStatus"] = httpStatus;
    inner["message"] = message;
    nlohmann::json document;
    document["error"] = std::move(inner);
    // Paths and header values are the client's bytes: one that is not UTF-8
    // shows as U+FFFD rather than turning the reply into a server error.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
