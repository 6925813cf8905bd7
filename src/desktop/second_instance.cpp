#include "desktop/second_instance.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string instanceSocketPath(const std::string& lockPath) {
    const std::string suffix = ".lock";
    if (lockPath.size() > suffix.size() && lockPath.compare(lockPath.size() - suffix.size(), suffix.size(), suffix) == 0)
        return lockPath.substr(0, lockPath.size() - suffix.size()) + ".sock";
    return lockPath + ".sock";
}

bool askRunningInstanceToShow(const std::string& socketPath) {
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool delivered = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        static const char request[] = "show\n";
        delivered = ::send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request) - 1);
        if (delivered) {
            // Wait for the listener to close its end, so the request has been
            // read before this process ends.
            ::shutdown(fd, SHUT_WR);
            pollfd p{fd, POLLIN, 0};
            char byte;
            if (::poll(&p, 1, 1000) > 0) (void)::recv(fd, &byte, 1, 0);
        }
    }
    ::close(fd);
    return delivered;
}
