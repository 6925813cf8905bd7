// A descriptor that one thread makes readable to wake another thread waiting
// in poll(2) on it together with its sockets: the relay's stop request and
// the memory channel's "the local side moved" notice travel this way, so no
// waiter has to sleep and re-check.
#pragma once

// Owns a non-blocking, close-on-exec pipe. signal() and drain() are safe for
// concurrent use by multiple threads; fd() stays valid for the object's life.
class WakePipe {
public:
    // Throws std::system_error when the system has no descriptors left.
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // The end to wait on for readability.
    int fd() const { return readFd_; }
    // Makes fd() readable (again); never blocks.
    void signal();
    // Takes every pending signal, so fd() is no longer readable.
    void drain();

private:
    int readFd_ = -1;
    int writeFd_ = -1;
};
