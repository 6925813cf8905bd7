#include "codec/opus_audio.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <opus/opus.h>

#include "codec/audio_resample.h"

namespace {

constexpr int kMaxPacketBytes = 4000;
constexpr int64_t kPacketNs = 20000000;

bool nativeRate(int32_t rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

struct EncoderFree {
    void operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
};

void appendLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<uint8_t> opusIdentificationHeader(uint8_t channels, uint16_t preSkip, uint32_t inputRate) {
    std::vector<uint8_t> header = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels};
    appendLe(header, preSkip, 2);
    appendLe(header, inputRate, 4);
    appendLe(header, 0, 2);  // output gain
    header.push_back(0);     // channel mapping family
    return header;
}

bool encodeOpusAudio(const PcmAudio& audio, EncodedAudio& encoded, std::string& error) {
    if (audio.channels < 1 || audio.channels > 2) {
        error = "opus supports 1-2 channels";
        return false;
    }
    const int channels = static_cast<int>(audio.channels);
    std::vector<float> samples;
    int32_t rate = audio.sampleRate;
    if (nativeRate(audio.sampleRate)) {
        samples.assign(audio.samples, audio.samples + audio.frames * audio.channels);
    } else {
        rate = 48000;
        samples = resampleAudio(audio.samples, audio.frames, audio.channels, audio.sampleRate, rate);
    }
    int status = OPUS_OK;
    std::unique_ptr<OpusEncoder, EncoderFree> encoder(opus_encoder_create(rate, channels, OPUS_APPLICATION_AUDIO, &status));
    if (!encoder || status != OPUS_OK) {
        error = std::string("opus_encoder_create: ") + opus_strerror(status != OPUS_OK ? status : OPUS_ALLOC_FAIL);
        return false;
    }
    opus_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(channels == 1 ? 64000 : 128000));
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder.get(), OPUS_GET_LOOKAHEAD(&lookahead));

    const uint64_t frameSize = static_cast<uint64_t>(rate / 50);
    const uint64_t n = samples.size() / audio.channels;
    const uint64_t padded = (n + static_cast<uint64_t>(lookahead) + frameSize - 1) / frameSize * frameSize;
    samples.resize(padded * audio.channels, 0.0f);
    for (float& s : samples) s = std::isnan(s) ? 0.0f : std::clamp(s, -1.0f, 1.0f);

    EncodedAudio result;
    result.codingRate = rate;
    uint8_t buffer[kMaxPacketBytes];
    for (uint64_t k = 0; k * frameSize < padded; ++k) {
        const opus_int32 bytes = opus_encode_float(encoder.get(), samples.data() + k * frameSize * audio.channels,
                                                   static_cast<int>(frameSize), buffer, kMaxPacketBytes);
        if (bytes < 0) {
            error = std::string("opus_encode_float: ") + opus_strerror(bytes);
            return false;
        }
        AudioPacket packet;
        packet.timestampNs = static_cast<int64_t>(k) * kPacketNs;
        packet.bytes.assign(buffer, buffer + bytes);
        result.packets.push_back(std::move(packet));
    }
    const auto preSkip = static_cast<uint16_t>(static_cast<int64_t>(lookahead) * 48000 / rate);
    result.codecDelayNs = static_cast<uint64_t>(preSkip) * 1000000000ull / 48000;
    result.codecPrivate =
        opusIdentificationHeader(static_cast<uint8_t>(channels), preSkip, static_cast<uint32_t>(audio.sampleRate));
    encoded = std::move(result);
    return true;
}
