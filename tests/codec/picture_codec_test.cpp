// VP8 frames out of libwebp's RIFF files, the in-memory muxer output, and
// PNG in and out.
#include <gtest/gtest.h>

#include "codec/memory_mkv_writer.h"
#include "codec/png_image.h"
#include "codec/vp8_frame.h"

namespace {

std::vector<uint8_t> riff(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& chunks) {
    std::vector<uint8_t> body = {'W', 'E', 'B', 'P'};
    for (const auto& [fourcc, payload] : chunks) {
        body.insert(body.end(), fourcc.begin(), fourcc.end());
        const uint32_t n = static_cast<uint32_t>(payload.size());
        for (int i = 0; i < 4; ++i) body.push_back(static_cast<uint8_t>(n >> (8 * i)));
        body.insert(body.end(), payload.begin(), payload.end());
        if (n & 1) body.push_back(0);
    }
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(n >> (8 * i)));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

TEST(Vp8Chunk, FirstVp8ChunkAfterOthersWithPadding) {
    std::vector<uint8_t> payload;
    const std::vector<uint8_t> file = riff({{"VP8X", {1, 2, 3}}, {"VP8 ", {7, 8, 9, 10}}, {"VP8 ", {1}}});
    ASSERT_TRUE(extractVp8Chunk(file.data(), file.size(), payload));
    EXPECT_EQ(payload, (std::vector<uint8_t>{7, 8, 9, 10}));

    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    } refused[] = {
        {"no VP8 chunk", riff({{"VP8L", {1, 2, 3, 4}}})},
        {"empty VP8 chunk", riff({{"VP8 ", {}}, {"VP8X", {1, 2, 3, 4}}})},
        {"not RIFF", std::vector<uint8_t>(24, 'x')},
        {"too short", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}},
    };
    for (const Case& c : refused) {
        EXPECT_FALSE(extractVp8Chunk(c.file.data(), c.file.size(), payload)) << c.name;
    }
    // A chunk that claims more bytes than the file holds ends the walk.
    std::vector<uint8_t> truncated = riff({{"VP8 ", {1, 2, 3, 4, 5, 6, 7, 8}}});
    truncated.resize(truncated.size() - 3);
    EXPECT_FALSE(extractVp8Chunk(truncated.data(), truncated.size(), payload));
}

TEST(Vp8Chunk, EncodedFramesAreKeyFramesOfTheRightSize) {
    std::vector<uint8_t> rgba(20 * 10 * 4, 200);
    std::vector<uint8_t> payload;
    ASSERT_TRUE(encodeVp8Frame(VideoFrame{20, 10, 4, rgba.data()}, 90, payload));
    ASSERT_GT(payload.size(), 10u);
    EXPECT_EQ(payload[0] & 1, 0) << "key frame";
    EXPECT_EQ(payload[3], 0x9d);
    EXPECT_EQ(payload[6] | ((payload[7] & 0x3f) << 8), 20);
    EXPECT_EQ(payload[8] | ((payload[9] & 0x3f) << 8), 10);
    EXPECT_FALSE(encodeVp8Frame(VideoFrame{20, 10, 2, rgba.data()}, 90, payload));
    EXPECT_FALSE(encodeVp8Frame(VideoFrame{20, 10, 3, nullptr}, 90, payload));
}

TEST(MemoryMkvWriter, WritesSeeksAndGrows) {
    MemoryMkvWriter writer;
    EXPECT_TRUE(writer.Seekable());
    EXPECT_EQ(writer.Write("abc", 3), 0);
    EXPECT_EQ(writer.Position(), 3);
    EXPECT_EQ(writer.Position(6), 0);  // beyond the end: zero-filled
    EXPECT_EQ(writer.bytes().size(), 6u);
    EXPECT_EQ(writer.Write("de", 2), 0);
    EXPECT_EQ(writer.Position(1), 0);  // back: the size stays the furthest byte
    EXPECT_EQ(writer.Write("X", 1), 0);
    EXPECT_EQ(std::string(writer.bytes().begin(), writer.bytes().end()), std::string("aXc\0\0\0de", 8));
    EXPECT_EQ(writer.Position(-1), -1);
    EXPECT_EQ(writer.Write(nullptr, 4), -1);
    EXPECT_EQ(writer.Write(nullptr, 0), 0);
    EXPECT_EQ(writer.Position(), 2);
}

TEST(PngImage, RoundTripAndRefusals) {
    std::vector<uint8_t> rgb(5 * 3 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 11);
    std::vector<uint8_t> png;
    ASSERT_TRUE(encodePng(5, 3, 3, rgb.data(), png));
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
    RgbImage image;
    std::string reason;
    ASSERT_TRUE(decodeImageRgb(png, image, reason)) << reason;
    EXPECT_EQ(image.width, 5);
    EXPECT_EQ(image.height, 3);
    EXPECT_EQ(image.pixels, rgb);

    // RGBA decodes to RGB (alpha dropped).
    std::vector<uint8_t> rgba = {10, 20, 30, 40, 50, 60, 70, 80};
    ASSERT_TRUE(encodePng(2, 1, 4, rgba.data(), png));
    ASSERT_TRUE(decodeImageRgb(png, image, reason));
    EXPECT_EQ(image.pixels, (std::vector<uint8_t>{10, 20, 30, 50, 60, 70}));

    std::vector<uint8_t> untouched = {1};
    EXPECT_FALSE(encodePng(0, 3, 3, rgb.data(), untouched));
    EXPECT_FALSE(encodePng(5, 3, 5, rgb.data(), untouched));
    EXPECT_FALSE(encodePng(5, 3, 3, nullptr, untouched));
    EXPECT_EQ(untouched, std::vector<uint8_t>{1});

    EXPECT_FALSE(decodeImageRgb({}, image, reason));
    EXPECT_FALSE(decodeImageRgb({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}, image, reason));
    // A header that claims a huge picture is refused before any pixel memory.
    ASSERT_TRUE(encodePng(1, 1, 3, rgb.data(), png));
    png[16] = 0;
    png[17] = 0;
    png[18] = 0x40;  // width 16384 in the IHDR chunk
    png[19] = 0;
    EXPECT_FALSE(decodeImageRgb(png, image, reason));
    EXPECT_EQ(reason, "image too large: 16384x1");
}

}  // namespace
