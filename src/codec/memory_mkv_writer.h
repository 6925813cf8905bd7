// libwebm's muxer output kept in memory: a growable byte vector with a write
// position that the muxer may move back to fill in sizes, the duration and
// the cues. The vector's size is the furthest byte ever written.
// REQUIRES external synchronization (one muxer uses it).
#pragma once

#include <cstdint>
#include <vector>

#include <mkvmuxer/mkvmuxer.h>

class MemoryMkvWriter : public mkvmuxer::IMkvWriter {
public:
    MemoryMkvWriter() = default;
    MemoryMkvWriter(const MemoryMkvWriter&) = delete;
    MemoryMkvWriter& operator=(const MemoryMkvWriter&) = delete;
    ~MemoryMkvWriter() override = default;

    // -1 for a null buffer with a non-zero length; otherwise writes at the
    // position (growing the vector, zero-filled), advances it and returns 0.
    mkvmuxer::int32 Write(const void* buffer, mkvmuxer::uint32 length) override;
    // -1 for a negative position; otherwise moves there (growing the vector
    // to it when shorter) and returns 0.
    mkvmuxer::int32 Position(mkvmuxer::int64 position) override;
    mkvmuxer::int64 Position() const override { return position_; }
    bool Seekable() const override { return true; }
    void ElementStartNotify(mkvmuxer::uint64, mkvmuxer::int64) override {}

    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    mkvmuxer::int64 position_ = 0;
};
