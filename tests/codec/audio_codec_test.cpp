// The sound helpers of the video writer: PCM blocks (timing follows the
// samples), Opus packets and header, and the resampler.
#include <gtest/gtest.h>

#include <cmath>

#include "codec/audio_resample.h"
#include "codec/opus_audio.h"
#include "codec/pcm_packets.h"

namespace {

int16_t sampleAt(const AudioPacket& packet, size_t index) {
    return static_cast<int16_t>(packet.bytes[index * 2] | (packet.bytes[index * 2 + 1] << 8));
}

TEST(PcmPackets, BlockTimesFollowTheSamplePosition) {
    // Two seconds of sound against four video frames: each block carries half
    // a second and starts where its first sample plays, not at the frame's
    // time (which would squeeze the sound into the video's one second).
    std::vector<float> samples(16000, 0.25f);
    const PcmAudio audio{8000, 1, 16000, samples.data()};
    const std::vector<AudioPacket> packets = makePcmPackets(audio, 4);
    ASSERT_EQ(packets.size(), 4u);
    const int64_t expected[] = {0, 500000000, 1000000000, 1500000000};
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].timestampNs, expected[i]);
        EXPECT_EQ(packets[i].bytes.size(), 4000u * 2);
    }
}

TEST(PcmPackets, RangesRoundingAndEdges) {
    // Three samples over five frames: blocks 1, 3 and 4 get one sample each
    // (from floor(i * 3 / 5) to floor((i + 1) * 3 / 5)); the others are empty
    // and make no block.
    std::vector<float> three = {1.5f, -1.0f, 0.5f};
    const std::vector<AudioPacket> sparse = makePcmPackets(PcmAudio{3, 1, 3, three.data()}, 5);
    ASSERT_EQ(sparse.size(), 3u);
    EXPECT_EQ(sampleAt(sparse[0], 0), 32767);   // 1.5 is clamped
    EXPECT_EQ(sampleAt(sparse[1], 0), -32767);  // -1.0
    EXPECT_EQ(sampleAt(sparse[2], 0), 16384);   // 0.5 * 32767 = 16383.5, ties to even
    EXPECT_EQ(sparse[1].timestampNs, 333333333);
    // Interleaved stereo stays interleaved.
    std::vector<float> stereo = {0.0f, 1.0f, -0.5f, 0.25f};
    const std::vector<AudioPacket> both = makePcmPackets(PcmAudio{2, 2, 2, stereo.data()}, 1);
    ASSERT_EQ(both.size(), 1u);
    EXPECT_EQ(sampleAt(both[0], 1), 32767);
    EXPECT_EQ(sampleAt(both[0], 2), -16384);
    // Nothing to spread, or nowhere to spread it: no blocks, no division.
    EXPECT_TRUE(makePcmPackets(PcmAudio{8000, 1, 3, three.data()}, 0).empty());
    EXPECT_TRUE(makePcmPackets(PcmAudio{8000, 1, 0, three.data()}, 4).empty());
    EXPECT_TRUE(makePcmPackets(PcmAudio{0, 1, 3, three.data()}, 4).empty());
}

TEST(OpusAudio, HeaderDelayPaddingAndRefusals) {
    EXPECT_EQ(opusIdentificationHeader(2, 312, 44100),
              (std::vector<uint8_t>{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 2, 0x38, 0x01, 0x44, 0xAC, 0, 0, 0, 0, 0}));

    std::vector<float> loud(960 * 3, 1.5f);
    EncodedAudio encoded;
    std::string error;
    ASSERT_TRUE(encodeOpusAudio(PcmAudio{48000, 1, 960 * 3, loud.data()}, encoded, error)) << error;
    EXPECT_EQ(encoded.codingRate, 48000);
    EXPECT_EQ(encoded.codecDelayNs, 6500000u);
    // Three frames of samples plus 312 samples of look-ahead: four packets.
    ASSERT_EQ(encoded.packets.size(), 4u);
    EXPECT_EQ(encoded.packets[3].timestampNs, 60000000);

    // 12 kHz is coded natively; 22.05 kHz is resampled to 48 kHz.
    std::vector<float> quiet(12000, 0.1f);
    ASSERT_TRUE(encodeOpusAudio(PcmAudio{12000, 1, 12000, quiet.data()}, encoded, error));
    EXPECT_EQ(encoded.codingRate, 12000);
    EXPECT_EQ(encoded.codecDelayNs, 6500000u);
    ASSERT_TRUE(encodeOpusAudio(PcmAudio{22050, 2, 6000, quiet.data()}, encoded, error));
    EXPECT_EQ(encoded.codingRate, 48000);
    EXPECT_EQ(encoded.codecPrivate[12] | (encoded.codecPrivate[13] << 8), 22050);

    for (uint32_t channels : {0u, 3u, 8u}) {
        EXPECT_FALSE(encodeOpusAudio(PcmAudio{48000, channels, 4, quiet.data()}, encoded, error));
        EXPECT_EQ(error, "opus supports 1-2 channels");
    }
}

TEST(Resample, LengthConstantSignalAndEdges) {
    std::vector<float> constant(4410 * 2, 0.5f);
    const std::vector<float> up = resampleAudio(constant.data(), 4410, 2, 44100, 48000);
    ASSERT_EQ(up.size(), 4800u * 2);
    // Away from the ends a constant stays constant (the weights are normalised).
    for (size_t i = 200; i < 4600 * 2; ++i) EXPECT_NEAR(up[i], 0.5f, 1e-4) << i;
    const std::vector<float> down = resampleAudio(constant.data(), 4410, 2, 44100, 8000);
    EXPECT_EQ(down.size(), 800u * 2);
    EXPECT_NEAR(down[800], 0.5f, 1e-3);

    // A 1 kHz tone keeps its frequency: zero crossings stay 0.5 ms apart.
    std::vector<float> sine(16000);
    for (size_t k = 0; k < sine.size(); ++k) sine[k] = std::sin(2 * 3.14159265 * 1000 * k / 16000.0);
    const std::vector<float> sine48 = resampleAudio(sine.data(), sine.size(), 1, 16000, 48000);
    EXPECT_NEAR(sine48[48 * 100 + 12], 1.0f, 0.02f);  // a quarter period after a crossing

    EXPECT_TRUE(resampleAudio(constant.data(), 0, 2, 44100, 48000).empty());
    EXPECT_TRUE(resampleAudio(constant.data(), 10, 2, 0, 48000).empty());
    EXPECT_TRUE(resampleAudio(constant.data(), 10, 2, 44100, -1).empty());
    EXPECT_TRUE(resampleAudio(nullptr, 10, 2, 44100, 48000).empty());
}

}  // namespace
