// The WebM writer: refusals and their precedence, frame timing, the tracks
// and codec settings a player reads back (libwebm's parser), sound through
// Opus and through the PCM fallback.
#include <gtest/gtest.h>

#include <cmath>

#include "codec/opus_audio.h"
#include "codec/webm_reading.h"
#include "codec/webm_writer.h"

namespace {

struct Picture {
    uint32_t width, height, channels;
    std::vector<uint8_t> pixels;
    VideoFrame frame() const { return VideoFrame{width, height, channels, pixels.data()}; }
};

Picture picture(uint32_t width, uint32_t height, uint32_t channels, uint8_t shade) {
    Picture p{width, height, channels, std::vector<uint8_t>(static_cast<size_t>(width) * height * channels)};
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = static_cast<uint8_t>(shade + i * 7);
    return p;
}

std::vector<float> tone(uint32_t channels, uint64_t frames, int rate) {
    std::vector<float> samples(frames * channels);
    for (uint64_t k = 0; k < frames; ++k) {
        for (uint32_t c = 0; c < channels; ++c) samples[k * channels + c] = 0.4f * std::sin(0.05f * k + c);
    }
    (void)rate;
    return samples;
}

const ParsedTrack* trackOfType(const ParsedWebm& file, long type) {
    for (const ParsedTrack& t : file.tracks) {
        if (t.type == type) return &t;
    }
    return nullptr;
}

TEST(WebmWriter, RefusalsInOrderOfPrecedenceLeaveTheOutputAlone) {
    const Picture good = picture(16, 16, 3, 1);
    const Picture flat = picture(16, 16, 3, 1);
    VideoFrame zeroWidth = good.frame();
    zeroWidth.width = 0;
    const Picture taller = picture(16, 32, 3, 2);
    const Picture twoChannels = picture(16, 16, 2, 3);
    struct Case {
        std::vector<VideoFrame> frames;
        int32_t fps;
        const char* error;
    } cases[] = {
        {{}, 0, "no frames to encode"},
        {{zeroWidth}, 0, "fps must be positive"},
        {{zeroWidth}, -3, "fps must be positive"},
        {{zeroWidth}, 24, "invalid frame size"},
        {{good.frame(), taller.frame()}, 24, "frame size mismatch"},
        {{good.frame(), VideoFrame{16, 16, 3, nullptr}}, 24, "frame size mismatch"},
        {{flat.frame(), twoChannels.frame()}, 24, "VP8 encoding failed at frame 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<uint8_t> out = {9, 9};
        std::string error;
        EXPECT_FALSE(encodeWebmVideo(c.frames, c.fps, nullptr, 90, out, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(out, (std::vector<uint8_t>{9, 9}));
    }
}

TEST(WebmWriter, FrameDurationsAndTimestamps) {
    EXPECT_EQ(frameDurationNs(30), 33333333);
    EXPECT_EQ(frameDurationNs(24), 41666667);
    EXPECT_EQ(frameDurationNs(1), 1000000000);
    EXPECT_EQ(frameDurationNs(0), 1);

    std::vector<Picture> pictures;
    for (int i = 0; i < 4; ++i) pictures.push_back(picture(32, 16, 4, static_cast<uint8_t>(i * 40)));
    std::vector<VideoFrame> frames;
    for (const Picture& p : pictures) frames.push_back(p.frame());
    std::vector<uint8_t> out;
    std::string error;
    ASSERT_TRUE(encodeWebmVideo(frames, 30, nullptr, 150, out, error)) << error;
    const ParsedWebm file = parseWebm(out);
    ASSERT_TRUE(file.ok);
    EXPECT_EQ(file.docType, "webm");
    EXPECT_EQ(file.muxingApp, "Brisvane");
    EXPECT_EQ(file.writingApp, "Brisvane");
    EXPECT_TRUE(file.hasCues);
    ASSERT_EQ(file.tracks.size(), 1u) << "without sound there is no audio track";
    const ParsedTrack& video = file.tracks[0];
    EXPECT_EQ(video.codecId, "V_VP8");
    EXPECT_EQ(video.width, 32);
    EXPECT_EQ(video.height, 16);
    EXPECT_DOUBLE_EQ(video.frameRate, 30.0);
    const std::vector<ParsedBlock> blocks = blocksOf(file, video.number);
    ASSERT_EQ(blocks.size(), 4u);
    // The muxer's time scale is 1 ms: block times are whole milliseconds.
    const long long expected[] = {0, 33000000, 66000000, 99000000};
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].timeNs, expected[i]) << i;
        EXPECT_TRUE(blocks[i].key);
        // A VP8 key frame starts with its start code at byte 3.
        ASSERT_GT(blocks[i].bytes.size(), 6u);
        EXPECT_EQ(blocks[i].bytes[3], 0x9d);
        EXPECT_EQ(blocks[i].bytes[4], 0x01);
        EXPECT_EQ(blocks[i].bytes[5], 0x2a);
    }
}

TEST(WebmWriter, QualityIsClampedToTheEncoderRange) {
    const Picture p = picture(24, 24, 3, 5);
    std::vector<uint8_t> high, clampedHigh, low, clampedLow;
    std::string error;
    ASSERT_TRUE(encodeWebmVideo({p.frame()}, 10, nullptr, 150, clampedHigh, error));
    ASSERT_TRUE(encodeWebmVideo({p.frame()}, 10, nullptr, 100, high, error));
    ASSERT_TRUE(encodeWebmVideo({p.frame()}, 10, nullptr, -5, clampedLow, error));
    ASSERT_TRUE(encodeWebmVideo({p.frame()}, 10, nullptr, 0, low, error));
    EXPECT_EQ(blocksOf(parseWebm(clampedHigh), 1)[0].bytes, blocksOf(parseWebm(high), 1)[0].bytes);
    EXPECT_EQ(blocksOf(parseWebm(clampedLow), 1)[0].bytes, blocksOf(parseWebm(low), 1)[0].bytes);
}

TEST(WebmWriter, OpusTrackDeclares48kHzWithHeaderDelayAndPreRoll) {
    // 44.1 kHz is no Opus rate: the sound is resampled, the header keeps 44100.
    struct Case {
        int rate;
        uint32_t channels;
    } cases[] = {{44100, 1}, {48000, 2}, {16000, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        std::vector<Picture> pictures;
        std::vector<VideoFrame> frames;
        for (int i = 0; i < 10; ++i) pictures.push_back(picture(16, 16, 3, static_cast<uint8_t>(i)));
        for (const Picture& p : pictures) frames.push_back(p.frame());
        const uint64_t sampleFrames = static_cast<uint64_t>(c.rate);  // one second against 10 frames at 10 fps
        const std::vector<float> samples = tone(c.channels, sampleFrames, c.rate);
        const PcmAudio audio{c.rate, c.channels, sampleFrames, samples.data()};
        std::vector<uint8_t> out;
        std::string error, fallback;
        ASSERT_TRUE(encodeWebmVideo(frames, 10, &audio, 90, out, error, &fallback)) << error;
        EXPECT_TRUE(fallback.empty()) << fallback;
        const ParsedWebm file = parseWebm(out);
        ASSERT_TRUE(file.ok);
        const ParsedTrack* sound = trackOfType(file, 2);
        ASSERT_NE(sound, nullptr);
        EXPECT_EQ(sound->codecId, "A_OPUS");
        EXPECT_DOUBLE_EQ(sound->samplingRate, 48000.0);
        EXPECT_EQ(sound->channels, c.channels);
        EXPECT_EQ(sound->seekPreRoll, 80000000u);
        ASSERT_EQ(sound->codecPrivate.size(), 19u);
        EXPECT_EQ(std::string(sound->codecPrivate.begin(), sound->codecPrivate.begin() + 8), "OpusHead");
        EXPECT_EQ(sound->codecPrivate[8], 1);
        EXPECT_EQ(sound->codecPrivate[9], c.channels);
        const unsigned preSkip = sound->codecPrivate[10] | (sound->codecPrivate[11] << 8);
        EXPECT_EQ(preSkip, 312u);
        EXPECT_EQ(sound->codecDelay, 6500000u);
        const uint32_t inputRate = sound->codecPrivate[12] | (sound->codecPrivate[13] << 8) |
                                   (sound->codecPrivate[14] << 16) | (static_cast<uint32_t>(sound->codecPrivate[15]) << 24);
        EXPECT_EQ(inputRate, static_cast<uint32_t>(c.rate));
        const std::vector<ParsedBlock> packets = blocksOf(file, sound->number);
        // One second plus the look-ahead, in 20 ms packets: 51.
        ASSERT_EQ(packets.size(), 51u);
        for (size_t k = 0; k < packets.size(); ++k) EXPECT_EQ(packets[k].timeNs, static_cast<long long>(k) * 20000000);
        // The first block of the file is the first video frame; blocks never
        // go back in time.
        EXPECT_EQ(file.blocks.front().track, 1);
        for (size_t i = 1; i < file.blocks.size(); ++i) EXPECT_GE(file.blocks[i].timeNs, file.blocks[i - 1].timeNs);
    }
}

TEST(WebmWriter, ThreeChannelsFallBackToPcmWithTheInputRate) {
    std::vector<Picture> pictures;
    std::vector<VideoFrame> frames;
    for (int i = 0; i < 5; ++i) pictures.push_back(picture(16, 16, 3, static_cast<uint8_t>(i)));
    for (const Picture& p : pictures) frames.push_back(p.frame());
    const std::vector<float> samples = tone(3, 22050, 22050);
    const PcmAudio audio{22050, 3, 22050, samples.data()};
    std::vector<uint8_t> out;
    std::string error, fallback;
    ASSERT_TRUE(encodeWebmVideo(frames, 5, &audio, 90, out, error, &fallback)) << error;
    EXPECT_EQ(fallback, "opus supports 1-2 channels");
    const ParsedWebm file = parseWebm(out);
    ASSERT_TRUE(file.ok);
    const ParsedTrack* sound = trackOfType(file, 2);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(sound->codecId, "A_PCM/INT/LIT");
    EXPECT_EQ(sound->bitDepth, 16);
    EXPECT_DOUBLE_EQ(sound->samplingRate, 22050.0);
    EXPECT_EQ(sound->channels, 3);
    const std::vector<ParsedBlock> blocks = blocksOf(file, sound->number);
    ASSERT_EQ(blocks.size(), 5u);
    size_t bytes = 0;
    for (const ParsedBlock& b : blocks) bytes += b.bytes.size();
    EXPECT_EQ(bytes, 22050u * 3 * 2);
}

TEST(WebmWriter, AbsentSoundWritesNoAudioTrack) {
    const Picture p = picture(16, 16, 3, 1);
    const std::vector<float> samples = tone(1, 100, 8000);
    const PcmAudio cases[] = {
        {8000, 0, 100, samples.data()},
        {8000, 1, 0, samples.data()},
        {0, 1, 100, samples.data()},
        {8000, 1, 100, nullptr},
    };
    for (const PcmAudio& audio : cases) {
        std::vector<uint8_t> out;
        std::string error;
        ASSERT_TRUE(encodeWebmVideo({p.frame()}, 8, &audio, 90, out, error)) << error;
        EXPECT_EQ(parseWebm(out).tracks.size(), 1u);
    }
}

}  // namespace
