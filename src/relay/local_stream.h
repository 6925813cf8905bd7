// The relay client's local end of one data channel: where the bytes that the
// relay carries in go, and where the reply bytes come from.
#pragma once

#include <cstdint>

namespace mivrelable::rtc {

// Implementations never wait on the local side: read and write return at
// once with what they could do, so one pump thread can serve both directions.
// Used by one pump thread; the local side runs on its own threads.
class LocalStream {
public:
    virtual ~LocalStream() = default;

    // Takes up to `capacity` bytes that the local side produced. Returns the
    // count (> 0), 0 when nothing is there yet, -1 once the local side closed
    // and everything it wrote was taken.
    virtual int32_t read(void* buffer, uint64_t capacity) = 0;

    // Hands up to `count` bytes to the local side. Returns the count taken
    // (a partial write is normal, 0 when there is no room now), -1 once
    // either side closed.
    virtual int32_t write(const void* bytes, uint64_t count) = 0;

    // The relay has no more bytes for the local side: it reads what is
    // stored, then the end of the stream.
    virtual void finishWrite() = 0;

    // The relay abandons the channel; the local side's writes fail from now.
    virtual void close() = 0;

    // A descriptor that turns readable whenever read or write may now do
    // more than before (bytes arrived, room was freed, a side closed); -1
    // when the stream has none and the pump must poll. The pump calls
    // armWake() before it looks at the stream: every change after that call
    // makes the descriptor readable (changes before it are seen by the look
    // itself, so the local side signals once per look, not once per write).
    // When a wait reports the descriptor readable the pump calls drainWake(),
    // which empties it.
    // holdWake() tells the local side that the pump is looking anyway (it
    // spins for a moment after traffic): no signal is due until the next
    // armWake().
    virtual int wakeFd() const { return -1; }
    virtual void armWake() {}
    virtual void holdWake() {}
    virtual void drainWake() {}
};

}  // namespace mivrelable::rtc
