#include "support/http_client.h"

#include <netinet/in.h>
#include <poll.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>

namespace {

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string HttpReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoreCase(key, name)) return value;
    return std::string();
}

std::string buildRequest(const std::string& method, const std::string& target, const HeaderList& headers,
                         const std::string& body, const std::string& version) {
    std::string text = method + " " + target + " " + version + "\r\n";
    bool hasHost = false;
    bool hasLength = false;
    for (const auto& [name, value] : headers) {
        hasHost = hasHost || equalsIgnoreCase(name, "host");
        hasLength = hasLength || equalsIgnoreCase(name, "content-length");
    }
    if (!hasHost) text += "Host: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
    if (!body.empty() && !hasLength) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n" + body;
    return text;
}

HttpConnection::~HttpConnection() { close(); }

bool HttpConnection::connect(uint16_t port, const std::string& address) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &remote.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close();
        return false;
    }
    pending_.clear();
    return true;
}

bool HttpConnection::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool HttpConnection::fill(int timeoutMs) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool HttpConnection::readReply(HttpReply* reply, int timeoutMs) {
    *reply = HttpReply();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos)
        if (!fill(msLeft(deadline))) return false;
    const std::string head = pending_.substr(0, headEnd);
    size_t pos = head.find("\r\n");
    const std::string statusLine = head.substr(0, pos);
    const size_t firstSpace = statusLine.find(' ');
    const size_t secondSpace = statusLine.find(' ', firstSpace + 1);
    reply->status = std::atoi(statusLine.substr(firstSpace + 1, secondSpace - firstSpace - 1).c_str());
    reply->reason = secondSpace == std::string::npos ? "" : statusLine.substr(secondSpace + 1);
    while (pos != std::string::npos && pos < head.size()) {
        const size_t start = pos + 2;
        const size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value[0] == ' ') value.erase(0, 1);
            reply->headers.emplace_back(line.substr(0, colon), value);
        }
        pos = end;
    }
    size_t consumed = headEnd + 4;
    if (equalsIgnoreCase(reply->header("Transfer-Encoding"), "chunked")) {
        reply->chunked = true;
        for (;;) {
            size_t lineEnd;
            while ((lineEnd = pending_.find("\r\n", consumed)) == std::string::npos)
                if (!fill(msLeft(deadline))) return false;
            const size_t size = std::strtoul(pending_.substr(consumed, lineEnd - consumed).c_str(), nullptr, 16);
            const size_t need = lineEnd + 2 + size + 2;
            while (pending_.size() < need)
                if (!fill(msLeft(deadline))) return false;
            reply->body += pending_.substr(lineEnd + 2, size);
            consumed = need;
            if (size == 0) break;
        }
    } else {
        const size_t length = std::strtoul(reply->header("Content-Length").c_str(), nullptr, 10);
        while (pending_.size() < consumed + length)
            if (!fill(msLeft(deadline))) return false;
        reply->body = pending_.substr(consumed, length);
        consumed += length;
    }
    reply->raw = pending_.substr(0, consumed);
    pending_.erase(0, consumed);
    return true;
}

bool HttpConnection::waitClosed(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, msLeft(deadline)) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
    }
}

void HttpConnection::reset() {
    if (fd_ < 0) return;
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close();
}

void HttpConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

HttpReply httpRequest(uint16_t port, const std::string& method, const std::string& target, const HeaderList& headers,
                      const std::string& body, int timeoutMs) {
    HttpReply reply;
    HttpConnection connection;
    if (!connection.connect(port) || !connection.send(buildRequest(method, target, headers, body))) return reply;
    connection.readReply(&reply, timeoutMs);
    return reply;
}
