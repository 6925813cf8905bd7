#include "codec/vp8_frame.h"

#include <cstring>

#include <webp/encode.h>

namespace {

uint32_t readU32Le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Frees libwebp's output with its own allocator on every path.
struct WebpBuffer {
    uint8_t* data = nullptr;
    ~WebpBuffer() {
        if (data) WebPFree(data);
    }
};

}  // namespace

bool extractVp8Chunk(const uint8_t* webp, size_t size, std::vector<uint8_t>& payload) {
    if (!webp || size < 20) return false;
    if (std::memcmp(webp, "RIFF", 4) != 0 || std::memcmp(webp + 8, "WEBP", 4) != 0) return false;
    size_t offset = 12;
    while (offset + 8 <= size) {
        const uint8_t* chunk = webp + offset;
        const uint64_t length = readU32Le(chunk + 4);
        const size_t body = offset + 8;
        if (length > size - body) return false;
        if (std::memcmp(chunk, "VP8 ", 4) == 0) {
            payload.assign(webp + body, webp + body + length);
            return !payload.empty();
        }
        offset = body + static_cast<size_t>(length) + (length & 1);
    }
    return false;
}

bool encodeVp8Frame(const VideoFrame& frame, int32_t quality, std::vector<uint8_t>& payload) {
    if (!frame.pixels || frame.width == 0 || frame.height == 0) return false;
    if (frame.width > 16383 || frame.height > 16383) return false;  // the VP8 limit
    const size_t pixelCount = static_cast<size_t>(frame.width) * frame.height;
    std::vector<uint8_t> packed;
    const uint8_t* rgb = frame.pixels;
    if (frame.channels == 4) {
        packed.resize(pixelCount * 3);
        for (size_t i = 0; i < pixelCount; ++i) std::memcpy(&packed[i * 3], frame.pixels + i * 4, 3);
        rgb = packed.data();
    } else if (frame.channels != 3) {
        return false;
    }
    WebpBuffer output;
    const size_t size = WebPEncodeRGB(rgb, static_cast<int>(frame.width), static_cast<int>(frame.height),
                                      static_cast<int>(frame.width * 3), static_cast<float>(quality), &output.data);
    if (size == 0 || !output.data) return false;
    return extractVp8Chunk(output.data, size, payload);
}
