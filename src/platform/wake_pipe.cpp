#include "platform/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

WakePipe::WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    readFd_ = fds[0];
    writeFd_ = fds[1];
}

WakePipe::~WakePipe() {
    ::close(readFd_);
    ::close(writeFd_);
}

void WakePipe::signal() {
    const char byte = 1;
    // A full pipe already wakes every waiter: EAGAIN is success here.
    while (::write(writeFd_, &byte, 1) < 0 && errno == EINTR) {
    }
}

void WakePipe::drain() {
    char buffer[64];
    for (;;) {
        const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
        // A short read took everything: no second call to learn so.
        if (n > 0 && static_cast<size_t>(n) < sizeof buffer) return;
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}
