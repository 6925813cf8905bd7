// A process-wide single-instance guard: an exclusive flock(2) on a lock
// file. The lock lasts as long as the object (or the process) and is released
// by the system when the process ends in any way, so a crash leaves no stale
// lock behind.
#pragma once

#include <string>

class InstanceLock {
public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Creates `path` when missing (mode 0600, close-on-exec) and tries to lock
    // it without waiting. HeldElsewhere when another open of the file (in this
    // or another process) holds the lock; Failed with *error set when the file
    // cannot be opened or locked. A second call on a held lock returns Acquired.
    // REQUIRES: external synchronization.
    Result acquire(const std::string& path, std::string* error = nullptr);

    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
