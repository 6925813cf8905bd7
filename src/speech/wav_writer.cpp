#include "speech/wav_writer.h"

#include <cmath>
#include <stdexcept>

#include "base/byte_order.h"

int16_t wavSample16(float sample) {
    if (!std::isfinite(sample)) return 0;
    const float clamped = sample < -1.0f ? -1.0f : (sample > 1.0f ? 1.0f : sample);
    // |clamped x 32767| <= 32767, so the rounded value always fits.
    return static_cast<int16_t>(std::lroundf(clamped * 32767.0f));
}

std::vector<uint8_t> encodeWav16(const std::vector<float>& samples, int32_t sampleRate, int32_t channels) {
    const uint64_t n = samples.size();
    if (n > kMaxWavSamples) throw std::runtime_error("audio output is too large for a wav file");
    if (sampleRate < 1 || channels < 1 || channels > 32767 ||
        static_cast<uint64_t>(sampleRate) * static_cast<uint64_t>(channels) * 2 > 0xFFFFFFFFull) {
        throw std::runtime_error("invalid wav format");
    }
    const uint32_t dataBytes = static_cast<uint32_t>(2 * n);
    std::vector<uint8_t> out;
    out.reserve(44 + static_cast<size_t>(dataBytes));
    auto tag = [&out](const char* text) { out.insert(out.end(), text, text + 4); };
    tag("RIFF");
    appendU32Le(out, 36 + dataBytes);
    tag("WAVE");
    tag("fmt ");
    appendU32Le(out, 16);
    appendU16Le(out, 1);  // integer PCM
    appendU16Le(out, static_cast<uint16_t>(channels));
    appendU32Le(out, static_cast<uint32_t>(sampleRate));
    appendU32Le(out, static_cast<uint32_t>(sampleRate) * static_cast<uint32_t>(channels) * 2);
    appendU16Le(out, static_cast<uint16_t>(channels * 2));
    appendU16Le(out, 16);  // bits a sample
    tag("data");
    appendU32Le(out, dataBytes);
    for (float sample : samples) appendU16Le(out, static_cast<uint16_t>(wavSample16(sample)));
    return out;
}
