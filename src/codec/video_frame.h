// Plain records that the video writer takes and makes: frames of 8-bit
// pixels, interleaved float sound, and encoded sound packets. The pointers
// are borrowed; the caller keeps the memory alive for the call.
#pragma once

#include <cstdint>
#include <vector>

// One picture: rows top to bottom, pixels left to right, one byte a channel
// (3 = R, G, B; 4 = R, G, B, A), no gap between rows.
struct VideoFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    const uint8_t* pixels = nullptr;
};

// Interleaved 32-bit float sound: the sample of channel c in frame k is at
// k * channels + c; nominal range -1.0 to 1.0.
struct PcmAudio {
    int32_t sampleRate = 0;
    uint32_t channels = 0;
    uint64_t frames = 0;  // sample frames per channel
    const float* samples = nullptr;

    // Sound counts only with samples, frames, channels and a rate.
    bool present() const { return samples && frames > 0 && channels > 0 && sampleRate > 0; }
};

struct AudioPacket {
    int64_t timestampNs = 0;
    std::vector<uint8_t> bytes;
};

// The result of encodeOpusAudio.
struct EncodedAudio {
    std::vector<AudioPacket> packets;   // in time order
    std::vector<uint8_t> codecPrivate;  // the 19-byte Opus identification header
    uint64_t codecDelayNs = 0;
    int32_t codingRate = 48000;
};
