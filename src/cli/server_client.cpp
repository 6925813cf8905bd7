#include "cli/server_client.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/json_parse.h"
#include "cli/terminal_text.h"
#include "platform/tcp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Closes the socket on every way out of a request.
class SocketOwner {
public:
    explicit SocketOwner(int fd) : fd_(fd) {}
    ~SocketOwner() { closeSocket(fd_); }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

uint32_t hostAddress(const std::string& host) {
    // The server's own default SERV_IP is "localhost"; other names are not
    // looked up, so the tool never talks to a machine it was not pointed at.
    const std::string text = host == "localhost" ? "127.0.0.1" : host;
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) throw std::runtime_error("Invalid host: " + host);
    return parsed.s_addr;
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string noReplyText(int timeoutMs) {
    return "no reply from brisvanesrv within " + std::to_string((timeoutMs + 999) / 1000) + "s";
}

std::string exchange(const std::string& host, int port, const std::string& request, int replyTimeoutMs) {
    const uint32_t address = hostAddress(host);
    const int fd = connectIpv4(address, static_cast<uint16_t>(port), kConnectTimeoutMs);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            throw std::runtime_error("Failed to create socket");
        throw ServerUnreachable("Could not connect to brisvanesrv — is running?");
    }
    SocketOwner socket(fd);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(replyTimeoutMs);

    size_t sent = 0;
    while (sent < request.size()) {
        const int ready = waitWritable(fd, millisecondsLeft(deadline));
        if (ready == 0) throw ServerNoReply(noReplyText(replyTimeoutMs));
        const ssize_t n = ready < 0 ? -1 : sendSome(fd, request.data() + sent, request.size() - sent);
        if (n < 0) throw std::runtime_error(std::string("Could not send the request to brisvanesrv: ") +
                                            std::strerror(errno));
        sent += static_cast<size_t>(n);
    }

    std::string reply;
    char buffer[4096];
    for (;;) {
        const int ready = waitReadable(fd, millisecondsLeft(deadline));
        if (ready == 0) throw ServerNoReply(noReplyText(replyTimeoutMs));
        if (ready < 0) break;
        const ssize_t n = receiveSome(fd, buffer, sizeof buffer);
        // The end of the reply is the server's close (or a reset after it).
        if (n <= 0) break;
        if (reply.size() + static_cast<size_t>(n) > kMaxReplyBytes)
            throw std::runtime_error("brisvanesrv reply exceeds " + std::to_string(kMaxReplyBytes) + " bytes");
        reply.append(buffer, static_cast<size_t>(n));
    }
    return replyBody(reply);
}

}  // namespace

std::string replyBody(const std::string& reply) {
    const size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? reply : reply.substr(end + 4);
}

std::string httpGet(const std::string& host, int port, const std::string& path, int replyTimeoutMs) {
    return exchange(host, port,
                    "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
                    replyTimeoutMs);
}

std::string httpPost(const std::string& host, int port, const std::string& path, const std::string& body,
                     int replyTimeoutMs) {
    return exchange(host, port,
                    "POST " + path + " HTTP/1.0\r\nHost: " + host +
                        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body,
                    replyTimeoutMs);
}

nlohmann::json postJson(const std::string& host, int port, const std::string& path, const std::string& body,
                        int replyTimeoutMs) {
    const std::string reply = httpPost(host, port, path, body, replyTimeoutMs);
    nlohmann::json parsed = parseJsonOrDiscarded(reply);
    if (parsed.is_discarded())
        throw std::runtime_error("could not parse brisvanesrv response.\nRaw response: " + visibleText(reply, true));
    return parsed;
}
