// The stand-in's procedural pictures and sound: pure functions of their
// inputs, so equal requests give equal bytes and any changed input (prompt,
// seed, size, step count, reference image, frame) changes the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/standin/standin_state.h"

// FNV-1a of `text`, mixed with `salt`.
uint64_t standinHash(const std::string& text, uint64_t salt);

// A width x height picture, packed 8-bit RGB rows top to bottom. `key`
// chooses colours and shapes; `phase` (0..1) moves the shapes between video
// frames; each 3-channel rank-3 tensor of `blend` is scaled to the picture
// and mixed in at half weight.
std::vector<uint8_t> drawStandinPicture(int32_t width, int32_t height, uint64_t key, double phase,
                                        const std::vector<const sd_tensor*>& blend);

// `frames` sample frames of a tone chosen by `key`, `channels` interleaved
// 32-bit floats in -0.5..0.5.
std::vector<float> makeStandinSound(int32_t channels, int32_t rate, uint64_t frames, uint64_t key);
