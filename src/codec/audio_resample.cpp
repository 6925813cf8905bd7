#include "codec/audio_resample.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kLobes = 8.0;
constexpr double kPi = 3.14159265358979323846;

double sinc(double y) {
    if (y == 0.0) return 1.0;
    return std::sin(kPi * y) / (kPi * y);
}

}  // namespace

std::vector<float> resampleAudio(const float* samples, uint64_t frames, uint32_t channels, int32_t fromRate,
                                 int32_t toRate) {
    if (!samples || frames == 0 || channels == 0 || fromRate <= 0 || toRate <= 0) return {};
    const double ratio = static_cast<double>(toRate) / fromRate;
    const double cutoff = std::min(ratio, 1.0);
    const double halfWidth = kLobes / cutoff;
    const uint64_t outFrames = static_cast<uint64_t>(std::floor(static_cast<double>(frames) * ratio));
    std::vector<float> out(outFrames * channels, 0.0f);
    std::vector<double> sums(channels);
    const int64_t lastInput = static_cast<int64_t>(frames) - 1;
    for (uint64_t i = 0; i < outFrames; ++i) {
        const double t = static_cast<double>(i) / ratio;
        const int64_t first = std::max<int64_t>(0, static_cast<int64_t>(std::ceil(t - halfWidth)));
        const int64_t last = std::min<int64_t>(lastInput, static_cast<int64_t>(std::floor(t + halfWidth)));
        std::fill(sums.begin(), sums.end(), 0.0);
        double weights = 0.0;
        for (int64_t j = first; j <= last; ++j) {
            const double x = (static_cast<double>(j) - t) * cutoff;
            if (std::fabs(x) >= kLobes) continue;
            const double w = sinc(x) * sinc(x / kLobes);
            weights += w;
            const float* in = samples + static_cast<uint64_t>(j) * channels;
            for (uint32_t c = 0; c < channels; ++c) sums[c] += w * in[c];
        }
        if (weights == 0.0) continue;
        for (uint32_t c = 0; c < channels; ++c) out[i * channels + c] = static_cast<float>(sums[c] / weights);
    }
    return out;
}
