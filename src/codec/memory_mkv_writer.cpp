#include "codec/memory_mkv_writer.h"

#include <cstring>

mkvmuxer::int32 MemoryMkvWriter::Write(const void* buffer, mkvmuxer::uint32 length) {
    if (!buffer && length != 0) return -1;
    if (length == 0) return 0;
    const uint64_t end = static_cast<uint64_t>(position_) + length;
    if (bytes_.size() < end) bytes_.resize(end, 0);
    std::memcpy(bytes_.data() + position_, buffer, length);
    position_ = static_cast<mkvmuxer::int64>(end);
    return 0;
}

mkvmuxer::int32 MemoryMkvWriter::Position(mkvmuxer::int64 position) {
    if (position < 0) return -1;
    if (bytes_.size() < static_cast<uint64_t>(position)) bytes_.resize(static_cast<size_t>(position), 0);
    position_ = position;
    return 0;
}
