// Waiting on many descriptors at once for readability: one thread watches
// thousands of connections that wait for a request without a thread each.
// The Linux implementation is epoll (level-triggered); the interface leaves
// room for another system's mechanism.
#pragma once

#include <cstdint>
#include <vector>

class ReadinessPoller {
public:
    // Throws std::system_error when the system has no poller left.
    ReadinessPoller();
    ~ReadinessPoller();
    ReadinessPoller(const ReadinessPoller&) = delete;
    ReadinessPoller& operator=(const ReadinessPoller&) = delete;

    // Watches `fd` for readability with `tag`. Returns false with errno set
    // on failure (EEXIST when it is watched already).
    bool add(int fd, uint64_t tag);
    // Stops watching `fd`; reports no more of it. False with errno set when
    // it was not watched. Call before closing a watched descriptor.
    bool remove(int fd);

    // Waits up to `timeoutMs` (negative: for ever) and replaces `ready` with
    // the tags of descriptors that are readable (or hung up, or failed: a
    // receive will not block), at most `maxEvents`. Returns their number, 0
    // after the time-out or an interrupted wait, -1 with errno set on failure.
    int wait(std::vector<uint64_t>& ready, int timeoutMs, int maxEvents = 256);

    // add, remove and wait may be called from different threads, but a
    // descriptor's tag must stay valid until remove() returned.
private:
    int fd_ = -1;
};
