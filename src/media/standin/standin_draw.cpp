#include "media/standin/standin_draw.h"

#include <algorithm>
#include <cmath>

uint64_t standinHash(const std::string& text, uint64_t salt) {
    uint64_t h = 1469598103934665603ull ^ (salt * 0x9E3779B97F4A7C15ull);
    for (const unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

namespace {

uint8_t byteOf(uint64_t key, int index) { return static_cast<uint8_t>((key >> (8 * (index % 8))) & 0xFF); }

// The nearest pixel of a (3, w, h) tensor for picture position (x, y).
bool samplePixel(const sd_tensor* tensor, int32_t width, int32_t height, int32_t x, int32_t y, const uint8_t*& px) {
    if (!tensor || tensor->dims.size() != 3 || tensor->dims[0] != 3 || tensor->type != SD_TENSOR_U8) return false;
    const int64_t tw = tensor->dims[1];
    const int64_t th = tensor->dims[2];
    const int64_t sx = static_cast<int64_t>(x) * tw / width;
    const int64_t sy = static_cast<int64_t>(y) * th / height;
    px = tensor->data.data() + (sy * tw + sx) * 3;
    return true;
}

}  // namespace

std::vector<uint8_t> drawStandinPicture(int32_t width, int32_t height, uint64_t key, double phase,
                                        const std::vector<const sd_tensor*>& blend) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    const double cx = width * (0.2 + 0.6 * ((byteOf(key, 0) / 255.0 + phase) - std::floor(byteOf(key, 0) / 255.0 + phase)));
    const double cy = height * (0.2 + 0.6 * (byteOf(key, 1) / 255.0));
    const double radius = (0.1 + 0.2 * (byteOf(key, 2) / 255.0)) * std::min(width, height);
    const uint8_t disc[3] = {byteOf(key, 3), byteOf(key, 4), byteOf(key, 5)};
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
            const double dx = x - cx;
            const double dy = y - cy;
            if (dx * dx + dy * dy <= radius * radius) {
                p[0] = disc[0];
                p[1] = disc[1];
                p[2] = disc[2];
            } else {
                p[0] = static_cast<uint8_t>((x * 255 / std::max(width - 1, 1) + byteOf(key, 6)) & 0xFF);
                p[1] = static_cast<uint8_t>((y * 255 / std::max(height - 1, 1) + byteOf(key, 7)) & 0xFF);
                p[2] = static_cast<uint8_t>(((x ^ y) + static_cast<int>(phase * 255)) & 0xFF);
            }
            for (const sd_tensor* tensor : blend) {
                const uint8_t* q = nullptr;
                if (!samplePixel(tensor, width, height, x, y, q)) continue;
                for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] + q[c]) / 2);
            }
        }
    }
    return pixels;
}

std::vector<float> makeStandinSound(int32_t channels, int32_t rate, uint64_t frames, uint64_t key) {
    std::vector<float> samples(static_cast<size_t>(frames) * static_cast<size_t>(channels));
    const double pi = 3.14159265358979323846;
    const double frequency = 220.0 + static_cast<double>(key % 440);
    for (uint64_t k = 0; k < frames; ++k) {
        for (int32_t c = 0; c < channels; ++c) {
            const double t = static_cast<double>(k) / rate;
            samples[k * channels + c] = static_cast<float>(0.5 * std::sin(2 * pi * frequency * t + c * 0.5));
        }
    }
    return samples;
}
