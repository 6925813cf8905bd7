// The sound track as 16-bit PCM blocks, used when Opus cannot code it (more
// than two channels, an encoder failure). Pure; safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/video_frame.h"

// One block per video frame: block i holds the sample frames from
// floor(i * N / frameCount) up to floor((i + 1) * N / frameCount) (N = the
// sound's frames), each sample clamped to -1..1, times 32767, rounded to
// the nearest (ties to even), as signed 16-bit little-endian, interleaved.
// Empty ranges make no block. A block's timestamp is the time of its first
// sample (first sample index * 1e9 / sample rate, rounded), so the sound
// plays at its own rate whatever the video's length. Nothing for absent
// sound or frameCount 0.
std::vector<AudioPacket> makePcmPackets(const PcmAudio& audio, uint64_t frameCount);
