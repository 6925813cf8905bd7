#include "speech/mtmd_audio_gen_backend.h"

#include <cstring>

#include "base/logger.h"
#include "engine/gguf_load_check.h"
#include "engine/llama_handles.h"

namespace {

struct GenAudioFree {
    void operator()(mtmd_helper_gen_audio* g) const { mtmd_helper_gen_audio_free(g); }
};
using GenAudioPtr = std::unique_ptr<mtmd_helper_gen_audio, GenAudioFree>;

// A decoded reference recording.
class BitmapSpeaker : public AudioGenSpeaker {
public:
    explicit BitmapSpeaker(mtmd_bitmap* bitmap) : bitmap_(bitmap) {}
    mtmd_bitmap* bitmap() const { return bitmap_.get(); }

private:
    MtmdBitmapPtr bitmap_;
};

class MtmdAudioGenBackend : public AudioGenBackend {
public:
    explicit MtmdAudioGenBackend(MtmdContextPtr weights) : weights_(std::move(weights)) {
        const mtmd_gen_audio_info raw = mtmd_gen_audio_get_info(weights_.get());
        info_.kind = static_cast<int32_t>(raw.type);
        info_.sampleRate = raw.sample_rate;
        info_.channels = 1;  // every pipeline of the release writes mono
        info_.variant = raw.model_variant ? raw.model_variant : "";
        info_.voiceCount = 0;
    }
    ~MtmdAudioGenBackend() override {
        generator_.reset();
        weights_.reset();
    }

    AudioGenInfo info() const override { return info_; }
    bool acceptsSpeakerReference() const override { return mtmd_support_audio(weights_.get()); }
    bool voiceName(int32_t, std::string&) const override { return false; }
    std::unique_ptr<AudioGenSpeaker> voice(const std::string&) override { return nullptr; }

    SpeakerDecode decodeSpeakerReference(const std::vector<uint8_t>& bytes,
                                         std::unique_ptr<AudioGenSpeaker>& speaker) override {
        speaker.reset();
        if (bytes.empty()) return SpeakerDecode::NotAudio;
        mtmd_helper_bitmap_wrapper decoded = mtmd_helper_bitmap_init_from_buf(
            weights_.get(), bytes.data(), bytes.size(), false, mtmd_helper_init_opt_default());
        if (decoded.video_ctx) mtmd_helper_video_free(decoded.video_ctx);
        MtmdBitmapPtr bitmap(decoded.bitmap);
        if (!bitmap || !mtmd_bitmap_is_audio(bitmap.get())) return SpeakerDecode::NotAudio;
        speaker = std::make_unique<BitmapSpeaker>(bitmap.release());
        return SpeakerDecode::Audio;
    }

    bool createGenerator(llama_context* context) override {
        generator_.reset(mtmd_helper_gen_audio_init(context, weights_.get()));
        cursor_.reset();
        return generator_ != nullptr;
    }
    void freeGenerator() override { generator_.reset(); }
    bool hasGenerator() const override { return generator_ != nullptr; }

    void reset() override {
        cursor_.reset();
        if (generator_) mtmd_helper_gen_audio_reset(generator_.get());
    }

    int32_t setInput(const AudioGenInput& input) override {
        if (!generator_) return 1;
        mtmd_bitmap* bitmap = nullptr;
        if (input.speaker) {
            const auto* decoded = dynamic_cast<const BitmapSpeaker*>(input.speaker);
            if (!decoded) return 1;
            bitmap = decoded->bitmap();
        }
        mtmd_helper_gen_audio_inp record{};
        const int32_t refused = fillReleaseInput(input, bitmap, record);
        if (refused != 0) return refused;
        cursor_.reset();
        return mtmd_helper_gen_audio_set_input(generator_.get(), &record);
    }

    int32_t stepPrompt(int32_t nBatch) override {
        if (!generator_ || nBatch <= 0) return -1;
        return mtmd_helper_gen_audio_step_prompt(generator_.get(), nBatch);
    }

    int32_t stepFrame(llama_token token, const float* hidden, const float** nextHidden, bool* done) override {
        if (!generator_) return 1;
        return mtmd_helper_gen_audio_step_gen(generator_.get(), token, hidden, nextHidden, done);
    }

    int32_t takeOutput(std::vector<float>& samples) override {
        if (!generator_) return 1;
        int32_t rate = 0;
        const char* data = nullptr;
        size_t bytes = 0;
        int64_t count = 0;
        const int32_t rc = mtmd_helper_gen_audio_get_output(generator_.get(), &rate, &data, &bytes, &count);
        if (rc != 0) return rc;
        cursor_.take(data, bytes, samples);
        return 0;
    }

    // The release's output call decodes whatever the generator still holds,
    // so the takeOutput that follows a flush sees it all.
    int32_t flush() override { return generator_ ? 0 : 1; }

private:
    MtmdContextPtr weights_;
    GenAudioPtr generator_;
    AudioGenInfo info_;
    NewSampleCursor cursor_;
};

}  // namespace

void NewSampleCursor::take(const char* data, size_t bytes, std::vector<float>& out) {
    if (!data) return;
    const size_t count = bytes / sizeof(float);
    if (count < handedOut_) handedOut_ = 0;
    const size_t fresh = count - handedOut_;
    if (fresh == 0) return;
    const size_t at = out.size();
    out.resize(at + fresh);
    std::memcpy(out.data() + at, data + handedOut_ * sizeof(float), fresh * sizeof(float));
    handedOut_ = count;
}

int32_t fillReleaseInput(const AudioGenInput& input, mtmd_bitmap* speaker, mtmd_helper_gen_audio_inp& record) {
    if (input.speed != 1.0f || input.loudness != 0.0f) return 2;
    record = mtmd_helper_gen_audio_inp{};
    record.seq_id = 0;
    record.prompt = input.text.c_str();
    record.prompt_len = input.text.size();
    record.speaker_ref = speaker;
    record.lang = input.lang.empty() ? nullptr : input.lang.c_str();
    record.top_k = 0;    // the pipeline's own defaults
    record.top_p = 0.0f;
    record.seed = input.seed;
    record.out_type = MTMD_HELPER_GEN_AUDIO_OUTTYPE_PCM;  // floats, converted by our own WAV writer
    return 0;
}

AudioGenLoader mtmdAudioGenLoader() {
    return [](const AudioGenLoadRequest& request) -> std::unique_ptr<AudioGenBackend> {
        // The library aborts the process on some malformed files instead of
        // failing: such a file is refused first.
        std::string refusal;
        if (!checkGgufForLoader(request.path, refusal)) {
            logMessage(1, "[AudioEngine] weights file refused before load: %s (%s)", request.path.c_str(),
                       refusal.c_str());
            return nullptr;
        }
        mtmd_context_params params = mtmd_context_params_default();
        params.use_gpu = request.useGpu;
        params.device = request.device;
        params.print_timings = false;
        params.warmup = false;
        MtmdContextPtr weights(mtmd_init_from_file(request.path.c_str(), request.model, params));
        if (!weights) {
            logMessage(1, "[AudioEngine] mtmd_init_from_file failed: %s", request.path.c_str());
            return nullptr;
        }
        return std::make_unique<MtmdAudioGenBackend>(std::move(weights));
    };
}
