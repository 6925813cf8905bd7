#include "codec/pcm_packets.h"

#include <algorithm>
#include <cmath>

std::vector<AudioPacket> makePcmPackets(const PcmAudio& audio, uint64_t frameCount) {
    std::vector<AudioPacket> packets;
    if (!audio.present() || frameCount == 0) return packets;
    const uint64_t n = audio.frames;
    const double perFrame = static_cast<double>(n) / static_cast<double>(frameCount);
    for (uint64_t i = 0; i < frameCount; ++i) {
        const uint64_t begin = static_cast<uint64_t>(static_cast<double>(i) * perFrame);
        const uint64_t end = i + 1 == frameCount ? n : std::min<uint64_t>(n, static_cast<uint64_t>((i + 1) * perFrame));
        if (end <= begin) continue;
        AudioPacket packet;
        packet.timestampNs = static_cast<int64_t>(std::llround(static_cast<double>(begin) * 1e9 / audio.sampleRate));
        packet.bytes.reserve((end - begin) * audio.channels * 2);
        for (uint64_t k = begin * audio.channels; k < end * audio.channels; ++k) {
            const float sample = std::isnan(audio.samples[k]) ? 0.0f : audio.samples[k];
            const double clamped = std::clamp(static_cast<double>(sample), -1.0, 1.0);
            const auto value = static_cast<int16_t>(std::nearbyint(clamped * 32767.0));
            packet.bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(value) & 0xFF));
            packet.bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8));
        }
        packets.push_back(std::move(packet));
    }
    return packets;
}
