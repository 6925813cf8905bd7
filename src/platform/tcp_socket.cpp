#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

bool resolveIpv4(const std::string& host, uint32_t* address, std::string* error) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
        *address = parsed.s_addr;
        return true;
    }
    if (host.empty()) {
        if (error) *error = "empty address";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

int openListeningSocket(uint32_t address, uint16_t port, int backlog, std::string* error) {
    auto fail = [&](int fd, const char* step) {
        const int err = errno;
        if (error) *error = std::string(step) + " failed: " + std::strerror(err);
        if (fd >= 0) ::close(fd);
        errno = err;
        return -1;
    };
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(fd, "socket()");
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail(fd, "setsockopt()");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return fail(fd, "bind()");
    if (::listen(fd, backlog) != 0) return fail(fd, "listen()");
    return fd;
}

int connectIpv4(uint32_t address, uint16_t port, int timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    auto fail = [fd](int err) {
        ::close(fd);
        errno = err;
        return -1;
    };
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = address;
    remote.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return fail(errno);
        const int ready = waitWritable(fd, timeoutMs);
        if (ready < 0) return fail(errno);
        if (ready == 0) return fail(ETIMEDOUT);
        int soError = 0;
        socklen_t length = sizeof soError;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) return fail(errno);
        if (soError != 0) return fail(soError);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(errno);
    return fd;
}

uint16_t socketLocalPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

int acceptConnection(int listenFd) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

bool setNoDelay(int fd) {
    const int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

void socketRemoteEndpoint(int fd, std::string* address, uint16_t* port) {
    address->clear();
    *port = 0;
    sockaddr_storage remote{};
    socklen_t length = sizeof remote;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (remote.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&remote);
        if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) *address = text;
        *port = ntohs(v4->sin_port);
    } else if (remote.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&remote);
        if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) *address = text;
        *port = ntohs(v6->sin6_port);
    }
}

namespace {

int waitFor(int fd, short events, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, wait);
        if (rc > 0) return 1;
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace

int waitReadable(int fd, int timeoutMs) { return waitFor(fd, POLLIN, timeoutMs); }

int waitWritable(int fd, int timeoutMs) { return waitFor(fd, POLLOUT, timeoutMs); }

ssize_t receiveSome(int fd, void* buffer, size_t size, bool dontWait) {
    const int flags = dontWait ? MSG_DONTWAIT : 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, size, flags);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

ssize_t sendSome(int fd, const void* data, size_t size, bool dontWait) {
    const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
    for (;;) {
        const ssize_t n = ::send(fd, data, size, flags);
        if (n >= 0 || errno != EINTR) return n;
    }
}

void shutdownSocket(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void shutdownSocketSend(int fd) {
    if (fd >= 0) ::shutdown(fd, SHUT_WR);
}

void closeSocket(int fd) {
    if (fd >= 0) ::close(fd);
}
