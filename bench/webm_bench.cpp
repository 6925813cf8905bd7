// WebM writer throughput: frames per second of encodeWebmVideo for 512x512
// frames with a mono 44.1 kHz sound track (resampled and coded as Opus),
// against libwebp's encoder alone on the same frames in the same run. The
// ratio is the cost of everything around VP8 coding: RIFF unwrapping, Opus,
// resampling and libwebm's muxing into memory.
//
// Usage: bench_webm_bench [frames] [rounds]   (defaults 48 and 3)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <webp/encode.h>

#include "codec/webm_writer.h"

namespace {

constexpr uint32_t kSide = 512;
constexpr int32_t kFps = 24;
constexpr int32_t kQuality = 90;
constexpr int32_t kRate = 44100;

std::vector<std::vector<uint8_t>> makeFrames(int count) {
    std::vector<std::vector<uint8_t>> frames(static_cast<size_t>(count));
    for (int f = 0; f < count; ++f) {
        std::vector<uint8_t>& p = frames[static_cast<size_t>(f)];
        p.resize(static_cast<size_t>(kSide) * kSide * 3);
        for (uint32_t y = 0; y < kSide; ++y) {
            for (uint32_t x = 0; x < kSide; ++x) {
                uint8_t* px = &p[(static_cast<size_t>(y) * kSide + x) * 3];
                const double cx = x - 256.0 - 100.0 * std::sin(f * 0.2);
                const double cy = y - 256.0;
                const bool disc = cx * cx + cy * cy < 90.0 * 90.0;
                px[0] = disc ? 230 : static_cast<uint8_t>(x / 2 + f);
                px[1] = disc ? 40 : static_cast<uint8_t>(y / 2);
                px[2] = static_cast<uint8_t>((x ^ y) + f * 3);
            }
        }
    }
    return frames;
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 48;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: %s [frames > 0] [rounds > 0]\n", argv[0]);
        return 2;
    }
    const std::vector<std::vector<uint8_t>> pixels = makeFrames(count);
    std::vector<VideoFrame> frames;
    for (const auto& p : pixels) frames.push_back(VideoFrame{kSide, kSide, 3, p.data()});
    const uint64_t sampleFrames = static_cast<uint64_t>(count) * kRate / kFps;
    std::vector<float> samples(sampleFrames);
    for (uint64_t k = 0; k < sampleFrames; ++k) samples[k] = 0.4f * static_cast<float>(std::sin(k * 0.0627));
    const PcmAudio audio{kRate, 1, sampleFrames, samples.data()};

    double bestWebp = 1e30;
    double bestWriter = 1e30;
    size_t webmBytes = 0;
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (const VideoFrame& f : frames) {
            uint8_t* out = nullptr;
            const size_t size = WebPEncodeRGB(f.pixels, kSide, kSide, kSide * 3, static_cast<float>(kQuality), &out);
            if (size == 0) {
                std::fprintf(stderr, "WebPEncodeRGB failed\n");
                return 1;
            }
            WebPFree(out);
        }
        bestWebp = std::min(bestWebp, seconds(std::chrono::steady_clock::now() - start));

        start = std::chrono::steady_clock::now();
        std::vector<uint8_t> webm;
        std::string error;
        if (!encodeWebmVideo(frames, kFps, &audio, kQuality, webm, error)) {
            std::fprintf(stderr, "encodeWebmVideo failed: %s\n", error.c_str());
            return 1;
        }
        bestWriter = std::min(bestWriter, seconds(std::chrono::steady_clock::now() - start));
        webmBytes = webm.size();
    }
    const double webpFps = count / bestWebp;
    const double writerFps = count / bestWriter;
    std::printf("frames: %d of %ux%u, sound: mono %d Hz (%.2f s), quality %d, best of %d rounds\n", count, kSide, kSide,
                kRate, static_cast<double>(sampleFrames) / kRate, kQuality, rounds);
    std::printf("libwebp alone:   %8.1f frames/s\n", webpFps);
    std::printf("WebM writer:     %8.1f frames/s  (%zu bytes)\n", writerFps, webmBytes);
    std::printf("writer / libwebp: %.3f (muxing, Opus and resampling overhead %.1f%%)\n", writerFps / webpFps,
                (bestWriter / bestWebp - 1.0) * 100.0);
    return 0;
}
