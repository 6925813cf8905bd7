// The tiny speech pair loads in the release's mtmd as a "pockettts" speech
// generator and speaks: each text gives the frames test_models.h promises,
// kSpeechFrameSamples samples each, with or without a voice recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "llama_test_support.h"
#include "mtmd-helper.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using namespace kittest;
using namespace testmodels;

struct GenAudioFree {
    void operator()(mtmd_helper_gen_audio* g) const { mtmd_helper_gen_audio_free(g); }
};
using GenAudioPtr = std::unique_ptr<mtmd_helper_gen_audio, GenAudioFree>;

class SpeechModels : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = loadTestModel(kSpeechModelFile);
        ASSERT_TRUE(model_);
        mtmd_context_params params = mtmd_context_params_default();
        params.use_gpu = false;
        params.n_threads = 2;
        params.print_timings = false;
        params.warmup = false;
        mtmd_.reset(mtmd_init_from_file(testModelPath(kSpeechProjectorFile).c_str(), model_.get(), params));
        ASSERT_TRUE(mtmd_);
        llama_context_params cp = llama_context_default_params();
        cp.n_ctx = 512;
        cp.n_batch = 512;
        cp.n_ubatch = 512;
        cp.n_threads = 2;
        cp.n_threads_batch = 2;
        cp.embeddings = true;  // the generator reads the hidden state
        ctx_.reset(llama_init_from_model(model_.get(), cp));
        ASSERT_TRUE(ctx_);
        gen_.reset(mtmd_helper_gen_audio_init(ctx_.get(), mtmd_.get()));
        ASSERT_TRUE(gen_);
    }

    // The samples `text` makes (all of them, read once at the end).
    std::vector<float> speak(const std::string& text, mtmd_bitmap* voice) {
        llama_memory_clear(llama_get_memory(ctx_.get()), true);
        mtmd_helper_gen_audio_reset(gen_.get());
        mtmd_helper_gen_audio_inp input{};
        input.prompt = text.c_str();
        input.prompt_len = text.size();
        input.speaker_ref = voice;
        input.seed = 7;
        input.out_type = MTMD_HELPER_GEN_AUDIO_OUTTYPE_PCM;
        EXPECT_EQ(mtmd_helper_gen_audio_set_input(gen_.get(), &input), 0);
        int32_t left = 1;
        while (left > 0) left = mtmd_helper_gen_audio_step_prompt(gen_.get(), 16);
        EXPECT_EQ(left, 0);
        const float* hidden = llama_get_embeddings_ith(ctx_.get(), -1);
        bool stop = false;
        for (int step = 0; step < 200 && !stop; ++step) {
            const float* next = nullptr;
            if (mtmd_helper_gen_audio_step_gen(gen_.get(), LLAMA_TOKEN_NULL, hidden, &next, &stop) != 0) {
                ADD_FAILURE() << "step " << step;
                break;
            }
            hidden = next;
        }
        EXPECT_TRUE(stop);
        int32_t rate = 0;
        const char* data = nullptr;
        size_t bytes = 0;
        int64_t count = 0;
        EXPECT_EQ(mtmd_helper_gen_audio_get_output(gen_.get(), &rate, &data, &bytes, &count), 0);
        EXPECT_EQ(rate, kSpeechSampleRate);
        EXPECT_EQ(bytes, static_cast<size_t>(count) * sizeof(float));
        std::vector<float> samples(static_cast<size_t>(count));
        if (count > 0) std::memcpy(samples.data(), data, bytes);
        return samples;
    }

    ModelPtr model_;
    MtmdPtr mtmd_;
    ContextPtr ctx_;
    GenAudioPtr gen_;
};

TEST_F(SpeechModels, LoadsAsThePocketKind) {
    EXPECT_EQ(llama_model_n_embd(model_.get()), kSpeechEmbeddingLength);
    EXPECT_EQ(llama_vocab_n_tokens(llama_model_get_vocab(model_.get())), kVocabSize + 1);
    const mtmd_gen_audio_info info = mtmd_gen_audio_get_info(mtmd_.get());
    EXPECT_EQ(info.type, MTMD_GEN_AUDIO_TYPE_POCKETTTS);
    EXPECT_EQ(info.sample_rate, kSpeechSampleRate);
    EXPECT_STREQ(info.model_variant, "english");
    EXPECT_TRUE(mtmd_support_audio(mtmd_.get())) << "the voice encoder";
    EXPECT_FALSE(mtmd_support_vision(mtmd_.get()));
}

TEST_F(SpeechModels, TextsSpeakTheirFrames) {
    // One token per byte; the release adds the full stop.
    const std::string first = "The first sentence is right here.";        // 33 tokens
    const std::string second = " The second one follows it right now.";   // 37 tokens
    struct Case {
        std::string text;
        int frames;
    } cases[] = {
        {"hi", kSpeechTailFrames(3)},
        {"Hello there, speech", kSpeechTailFrames(20)},
        // Over 50 tokens: two chunks, split after the first sentence.
        {first + second, kSpeechTailFrames(33) + kSpeechTailFrames(37)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<float> samples = speak(c.text, nullptr);
        ASSERT_EQ(samples.size(), static_cast<size_t>(c.frames) * kSpeechFrameSamples);
        float peak = 0.0f;
        for (float s : samples) {
            ASSERT_TRUE(std::isfinite(s));
            ASSERT_LE(std::fabs(s), 1.0f);
            peak = std::max(peak, std::fabs(s));
        }
        EXPECT_GT(peak, 0.0f) << "noise, not silence";
    }
}

TEST_F(SpeechModels, AVoiceRecordingConditionsTheSameLength) {
    // 0.2 s of a 220 Hz tone at the encoder's rate: three voice rows ahead
    // of the text.
    std::vector<float> tone(kSpeechSampleRate / 5);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(0.5 * std::sin(6.283185307179586 * 220.0 * i / kSpeechSampleRate));
    BitmapPtr voice(mtmd_bitmap_init_from_audio(tone.size(), tone.data()));
    ASSERT_TRUE(voice);
    const std::vector<float> voiced = speak("Hello there, speech", voice.get());
    EXPECT_EQ(voiced.size(), static_cast<size_t>(kSpeechTailFrames(20)) * kSpeechFrameSamples);
}

}  // namespace
