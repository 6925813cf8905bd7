// The bytes a 16-bit PCM WAV file must hold, written field by field from
// the format's layout, so that tests compare the server's WAV writer against
// an independent spelling of the same file.
#pragma once

#include <cstdint>
#include <vector>

namespace golden {

inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// RIFF/WAVE, a 16-byte "fmt " chunk (integer PCM, 16 bits) and the "data"
// chunk with `samples` interleaved as given.
inline std::vector<uint8_t> wav16(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> out;
    out.reserve(44 + data);
    auto tag = [&out](const char* t) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(t[i]));
    };
    tag("RIFF");
    putU32(out, 36 + data);
    tag("WAVE");
    tag("fmt ");
    putU32(out, 16);
    putU16(out, 1);
    putU16(out, channels);
    putU32(out, rate);
    putU32(out, rate * channels * 2);
    putU16(out, static_cast<uint16_t>(channels * 2));
    putU16(out, 16);
    tag("data");
    putU32(out, data);
    for (int16_t s : samples) putU16(out, static_cast<uint16_t>(s));
    return out;
}

}  // namespace golden
