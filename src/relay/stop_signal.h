// The relay client's stop request as both a flag and a descriptor, so every
// wait of the client's threads (connects, TLS handshakes, reads, writes,
// back-off sleeps) ends as soon as a stop is asked for.
#pragma once

#include <atomic>

#include "platform/wake_pipe.h"

namespace mivrelable::rtc {

// Safe for concurrent use by multiple threads.
class StopSignal {
public:
    StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Sets the flag and makes fd() readable for good.
    void raise() {
        if (!raised_.exchange(true)) pipe_.signal();
    }
    bool raised() const { return raised_.load(); }
    // Readable once raised; never drained.
    int fd() const { return pipe_.fd(); }
    // Sleeps `ms` milliseconds or until raised. True when the sleep ran out.
    bool sleepFor(int ms) const;

private:
    std::atomic<bool> raised_{false};
    WakePipe pipe_;
};

}  // namespace mivrelable::rtc
