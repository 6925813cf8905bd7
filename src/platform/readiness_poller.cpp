#include "platform/readiness_poller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

ReadinessPoller::ReadinessPoller() {
    fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
}

ReadinessPoller::~ReadinessPoller() { ::close(fd_); }

bool ReadinessPoller::add(int fd, uint64_t tag) {
    epoll_event event{};
    // EPOLLRDHUP: a client that closes while it waits is noticed at once.
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = tag;
    return ::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool ReadinessPoller::remove(int fd) { return ::epoll_ctl(fd_, EPOLL_CTL_DEL, fd, nullptr) == 0; }

int ReadinessPoller::wait(std::vector<uint64_t>& ready, int timeoutMs, int maxEvents) {
    std::vector<epoll_event> events(static_cast<size_t>(maxEvents > 0 ? maxEvents : 1));
    const int n = ::epoll_wait(fd_, events.data(), static_cast<int>(events.size()), timeoutMs);
    ready.clear();
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) ready.push_back(events[static_cast<size_t>(i)].data.u64);
    return n;
}
