// A relayed connection without a local socket: two fixed byte rings between
// the relay's data-channel pump (the LocalStream side, which never waits) and
// the HTTP connection loop (the server side, which waits like a socket with a
// time-out). The rings never grow; a full ring makes the writer wait or
// retry, it never drops or overwrites bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/wake_pipe.h"
#include "relay/local_stream.h"

namespace mivrelable::rtc {

// One fixed-capacity byte ring. REQUIRES: external synchronization.
class ByteRing {
public:
    explicit ByteRing(uint64_t capacity) : bytes_(capacity, 0) {}
    uint64_t capacity() const { return bytes_.size(); }
    uint64_t stored() const { return count_; }
    uint64_t space() const { return bytes_.size() - count_; }
    // Copies min(count, space()) bytes in; returns that number.
    uint64_t put(const void* data, uint64_t count);
    // Copies min(capacity, stored()) bytes out; returns that number.
    uint64_t take(void* out, uint64_t capacity);

private:
    std::vector<uint8_t> bytes_;
    uint64_t readPos_ = 0;
    uint64_t count_ = 0;
};

// Shared by the relay's pump (as LocalStream), a MemoryPeer and its streams;
// every operation takes the one mutex, so all are safe for concurrent use.
class MemoryChannel : public LocalStream {
public:
    // `readTimeoutSeconds` bounds every server-side wait for input and every
    // server-side write that makes no progress; 0 or less does not wait.
    MemoryChannel(uint64_t inboundCapacity, uint64_t outboundCapacity, int32_t readTimeoutSeconds);
    MemoryChannel(const MemoryChannel&) = delete;
    MemoryChannel& operator=(const MemoryChannel&) = delete;

    // Relay side: never waits except for the mutex.
    int32_t read(void* buffer, uint64_t capacity) override;
    int32_t write(const void* bytes, uint64_t count) override;
    void finishWrite() override;
    void close() override;
    int wakeFd() const override { return wake_.fd(); }
    void armWake() override;
    void holdWake() override;
    void drainWake() override;

    // Server side. serverRead waits for at least one byte, the end of the
    // input or a close, at most the read time-out or `deadline` (whichever
    // comes first). Returns the count, -1 at the end of the stream (stored
    // bytes always come first). Throws IOException 10060 "memory channel read
    // timed out", or -1 "already closed memory channel" after serverClose.
    int32_t serverRead(void* buffer, uint64_t capacity,
                       std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
    // Waits like serverRead but takes nothing.
    void serverWaitReadable(std::optional<std::chrono::steady_clock::time_point> deadline);
    // Stores all `count` bytes, waiting while the ring is full. Throws
    // IOException 10054 "write failed: relay closed" once the relay closed,
    // -1 after serverClose, 10060 when the relay takes nothing for the read
    // time-out or `abandon` says to give up (asked a few times a second).
    // Bytes stored before a throw stay readable by the relay.
    uint64_t serverWrite(const void* bytes, uint64_t count, const std::function<bool()>& abandon = {});
    // The server side is done: wakes every waiter; the relay drains what is
    // stored, then reads -1.
    void serverClose();
    bool serverClosed() const;

private:
    // REQUIRES: mutex_ held, a change for the pump just made. True when the
    // pump must be signalled (once per look, see armWake); the caller signals
    // after releasing the mutex, so the woken pump does not block on it.
    bool takeRelayWakeLocked();
    // REQUIRES: `lock` holds mutex_. Waits as serverRead describes; returns
    // with bytes stored or the input ended, throws otherwise.
    bool waitReadableLocked(std::unique_lock<std::mutex>& lock,
                            std::optional<std::chrono::steady_clock::time_point> deadline);

    mutable std::mutex mutex_;
    std::condition_variable readable_;
    std::condition_variable writable_;
    ByteRing inbound_;   // relay -> server: request bytes
    ByteRing outbound_;  // server -> relay: reply bytes
    bool inputFinished_ = false;
    bool relayClosed_ = false;
    bool serverClosed_ = false;
    int32_t readTimeoutSeconds_;
    WakePipe wake_;
    // Set by the first change after the pump's armWake, which signals wake_;
    // later changes do not signal again until the next armWake.
    std::atomic<bool> wakePending_{false};
};

}  // namespace mivrelable::rtc
