// The WAV file the speech jobs store: a 44-byte RIFF header and signed
// 16-bit little-endian samples. Pure functions, safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The most interleaved samples one WAV file can hold: its 32-bit RIFF size
// field holds 36 + 2 x n.
inline constexpr uint64_t kMaxWavSamples = (0xFFFFFFFFull - 36) / 2;

// One float sample as 16-bit: NaN and infinities become 0; other values are
// clamped to -1..1, scaled by 32767 and rounded half away from zero.
int16_t wavSample16(float sample);

// The whole file for interleaved `samples` at `sampleRate` Hz with
// `channels` channels. Throws std::runtime_error "audio output is too large
// for a wav file" when the sizes do not fit the header's 32-bit fields, and
// "invalid wav format" for a rate below 1, a channel count outside 1..32767
// or a byte rate that does not fit its field.
std::vector<uint8_t> encodeWav16(const std::vector<float>& samples, int32_t sampleRate, int32_t channels);
