// Sample-rate conversion for the video sound track: a windowed sinc with
// eight lobes (sinc(x) * sinc(x / 8)), normalised per output frame by the sum
// of its weights. Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

// `frames` interleaved frames of `channels` channels at `fromRate` as
// interleaved frames at `toRate` (floor(frames * toRate / fromRate) of them).
// Empty for empty input, no channels or a rate of 0 or less.
std::vector<float> resampleAudio(const float* samples, uint64_t frames, uint32_t channels, int32_t fromRate,
                                 int32_t toRate);
