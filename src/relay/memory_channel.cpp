#include "relay/memory_channel.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "net/io_exception.h"
#include "platform/socket_errors.h"

namespace mivrelable::rtc {

namespace {

using Clock = std::chrono::steady_clock;

// How often a server-side writer waiting for room asks its abandon check.
constexpr auto kAbandonPoll = std::chrono::milliseconds(200);

// Counts cross the interface as signed 32-bit numbers.
uint64_t clampCount(uint64_t count) {
    return std::min<uint64_t>(count, static_cast<uint64_t>(std::numeric_limits<int32_t>::max()));
}

[[noreturn]] void throwServerClosed() { throw IOException(sockerr::kClosed, "already closed memory channel"); }
[[noreturn]] void throwRelayClosed() { throw IOException(sockerr::kConnectionReset, "write failed: relay closed"); }

}  // namespace

uint64_t ByteRing::put(const void* data, uint64_t count) {
    const uint64_t k = std::min(count, space());
    if (k == 0) return 0;
    const uint64_t cap = capacity();
    const uint64_t writePos = (readPos_ + count_) % cap;
    const uint64_t first = std::min(k, cap - writePos);
    std::memcpy(bytes_.data() + writePos, data, first);
    std::memcpy(bytes_.data(), static_cast<const uint8_t*>(data) + first, k - first);
    count_ += k;
    return k;
}

uint64_t ByteRing::take(void* out, uint64_t capacity) {
    const uint64_t k = std::min(capacity, count_);
    if (k == 0) return 0;
    const uint64_t cap = this->capacity();
    const uint64_t first = std::min(k, cap - readPos_);
    std::memcpy(out, bytes_.data() + readPos_, first);
    std::memcpy(static_cast<uint8_t*>(out) + first, bytes_.data(), k - first);
    readPos_ = (readPos_ + k) % cap;
    count_ -= k;
    return k;
}

MemoryChannel::MemoryChannel(uint64_t inboundCapacity, uint64_t outboundCapacity, int32_t readTimeoutSeconds)
    : inbound_(std::max<uint64_t>(inboundCapacity, 1)),
      outbound_(std::max<uint64_t>(outboundCapacity, 1)),
      readTimeoutSeconds_(readTimeoutSeconds) {}

// Waiters are woken after the mutex is released throughout: a thread woken
// while the waker still holds the mutex would only block on it again (two
// more futex calls and a second sleep per hand-off).

bool MemoryChannel::takeRelayWakeLocked() { return !wakePending_.exchange(true); }

void MemoryChannel::armWake() { wakePending_.store(false); }

void MemoryChannel::holdWake() { wakePending_.store(true); }

void MemoryChannel::drainWake() { wake_.drain(); }

int32_t MemoryChannel::read(void* buffer, uint64_t capacity) {
    uint64_t k = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        k = outbound_.take(buffer, clampCount(capacity));
        if (k == 0) return (serverClosed_ || relayClosed_) ? -1 : 0;
    }
    writable_.notify_all();
    return static_cast<int32_t>(k);
}

int32_t MemoryChannel::write(const void* bytes, uint64_t count) {
    uint64_t k = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serverClosed_ || relayClosed_) return -1;
        k = inbound_.put(bytes, clampCount(count));
    }
    if (k > 0) readable_.notify_all();
    return static_cast<int32_t>(k);
}

void MemoryChannel::finishWrite() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inputFinished_ = true;
    }
    readable_.notify_all();
}

void MemoryChannel::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        relayClosed_ = true;
    }
    readable_.notify_all();
    writable_.notify_all();
}

bool MemoryChannel::waitReadableLocked(std::unique_lock<std::mutex>& lock, std::optional<Clock::time_point> deadline) {
    Clock::time_point until = Clock::now();
    if (readTimeoutSeconds_ > 0) until += std::chrono::seconds(readTimeoutSeconds_);
    if (deadline && *deadline < until) until = *deadline;
    const bool ready = readable_.wait_until(lock, until, [&] {
        return inbound_.stored() > 0 || inputFinished_ || relayClosed_ || serverClosed_;
    });
    if (!ready) throw IOException(sockerr::kTimedOut, "memory channel read timed out");
    if (serverClosed_) throwServerClosed();
    return true;
}

void MemoryChannel::serverWaitReadable(std::optional<Clock::time_point> deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitReadableLocked(lock, deadline);
}

int32_t MemoryChannel::serverRead(void* buffer, uint64_t capacity, std::optional<Clock::time_point> deadline) {
    if (capacity == 0) return 0;
    bool signal = false;
    uint64_t k = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        waitReadableLocked(lock, deadline);
        const bool wasFull = inbound_.space() == 0;
        k = inbound_.take(buffer, clampCount(capacity));
        if (k == 0) return -1;
        // The pump may hold bytes it could not store: room is its cue.
        if (wasFull || inbound_.stored() == 0) signal = takeRelayWakeLocked();
    }
    if (signal) wake_.signal();
    return static_cast<int32_t>(k);
}

uint64_t MemoryChannel::serverWrite(const void* bytes, uint64_t count, const std::function<bool()>& abandon) {
    if (count == 0) return 0;
    const auto* data = static_cast<const uint8_t*>(bytes);
    uint64_t done = 0;
    // Declared before the lock, so a due signal goes out after the unlock,
    // whichever way the call ends.
    struct DueSignal {
        WakePipe& pipe;
        bool due = false;
        ~DueSignal() {
            if (due) pipe.signal();
        }
    } pending{wake_};
    std::unique_lock<std::mutex> lock(mutex_);
    auto stallDeadline = Clock::now() + std::chrono::seconds(std::max(readTimeoutSeconds_, 0));
    while (done < count) {
        while (outbound_.space() == 0 && !relayClosed_ && !serverClosed_) {
            if (pending.due) {
                // The pump must hear of the bytes stored so far before this
                // writer waits for it to take them.
                lock.unlock();
                wake_.signal();
                pending.due = false;
                lock.lock();
                continue;
            }
            if (abandon) {
                lock.unlock();
                const bool giveUp = abandon();
                lock.lock();
                if (giveUp) throw IOException(sockerr::kTimedOut, "write abandoned: the reply was stopped");
            }
            const auto now = Clock::now();
            if (now >= stallDeadline) throw IOException(sockerr::kTimedOut, "memory channel write timed out");
            writable_.wait_until(lock, std::min(stallDeadline, abandon ? now + kAbandonPoll : stallDeadline));
        }
        if (relayClosed_) throwRelayClosed();
        if (serverClosed_) throwServerClosed();
        const uint64_t k = outbound_.put(data + done, count - done);
        done += k;
        if (k > 0) {
            stallDeadline = Clock::now() + std::chrono::seconds(std::max(readTimeoutSeconds_, 0));
            if (takeRelayWakeLocked()) pending.due = true;
        }
    }
    return done;
}

void MemoryChannel::serverClose() {
    bool signal = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serverClosed_ = true;
        signal = takeRelayWakeLocked();
    }
    readable_.notify_all();
    writable_.notify_all();
    if (signal) wake_.signal();
}

bool MemoryChannel::serverClosed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return serverClosed_;
}

}  // namespace mivrelable::rtc
