// Speech generation end to end on the release's own audio generation: no
// stand-in, the kit's speech pair (a "pockettts" backbone and its random
// weights) loaded by the multimodal library. The noise it speaks is of no
// interest; its length is, because the kit's weights end every chunk of the
// text after a fixed number of frames: the stored WAV, the reported
// duration, frames and truncation, the load info, voice cloning from a real
// recording, and what the release cannot do.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "instance_home.h"
#include "sse_events.h"
#include "support/golden_wav.h"
#include "support/http_client.h"
#include "support/test_models.h"

namespace {

using json = nlohmann::json;
using namespace testmodels;

// 0.25 s of a 220 Hz tone, 16 kHz mono: the library resamples it.
std::string toneRecording() {
    std::vector<int16_t> samples(4000);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(12000.0 * std::sin(6.283185307179586 * 220.0 * i / 16000.0));
    }
    const std::vector<uint8_t> wav = golden::wav16(16000, 1, samples);
    return std::string(wav.begin(), wav.end());
}

class SpeechOnTheRelease : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("pocket", "speech.gguf", kSpeechModelFile,
                        {{"familyType", "AUDIO"}, {"files", {{"model", "speech.gguf"}, {"mmproj", "voice.gguf"}}}});
        home_->linkModelFile("pocket", "voice.gguf", kSpeechProjectorFile);
        home_->addInstance("say", "pocket");
        ASSERT_TRUE(home_->start({}, {"--verbose"}));
    }

    // A whole job's reply: generous, since the generator runs slowly under
    // sanitizers on a busy machine.
    HttpReply speak(const json& body) const {
        return httpRequest(home_->port(), "POST", "/v1/mivrel/say/speechGenerate",
                           {{"Content-Type", "application/json"}}, body.dump(), 300000);
    }

    std::string download(const std::string& reference) const {
        const HttpReply reply = home_->get("/v1/mivrel/say/" + reference);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.body;
    }

    // The stored file is a 16-bit mono 24 kHz WAV of `samples` samples.
    void expectWav(const std::string& reference, size_t samples) const {
        const std::string wav = download(reference);
        const std::vector<uint8_t> header = golden::wav16(kSpeechSampleRate, 1, std::vector<int16_t>(samples));
        ASSERT_EQ(wav.size(), header.size());
        EXPECT_EQ(wav.substr(0, 44), std::string(header.begin(), header.begin() + 44));
        EXPECT_NE(wav.substr(44), std::string(wav.size() - 44, '\0')) << "noise, not silence";
    }

    std::unique_ptr<InstanceHome> home_;
};

TEST_F(SpeechOnTheRelease, TextsBecomeWavsOfTheirLength) {
    // 40 tokens, 41 with the space before it: two make more than one chunk
    // holds, so each is a chunk of its own.
    const std::string sentence = "This sentence has forty bytes, all told.";
    std::string fiveSentences;
    for (int i = 0; i < 5; ++i) fiveSentences += (i ? " " : "") + sentence;
    struct Case {
        const char* name;
        json body;
        int audioFrames;
        // What the job reports: every generator step that hands back a hidden
        // state, and the release's change to the next chunk is one such step
        // that makes no audio.
        int frames;
        bool truncated;
    } cases[] = {
        {"short", {{"text", "hi"}}, kSpeechTailFrames(3), kSpeechTailFrames(3), false},
        {"sentence", {{"text", "Hello there, speech"}, {"seed", 5}}, kSpeechTailFrames(20), kSpeechTailFrames(20),
         false},
        {"two chunks", {{"text", sentence + " " + sentence}}, 2 * kSpeechTailFrames(41),
         2 * kSpeechTailFrames(41) + 1, false},
        // Five chunks would make 15 audio frames (1.2 s). The job stops at the
        // first frame that reaches one second (the fifth chunk's first) and
        // keeps exactly one second.
        {"cut at max_seconds", {{"text", fiveSentences}, {"max_seconds", 1}}, -1,
         4 * (kSpeechTailFrames(41) + 1) + 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HttpReply reply = speak(c.body);
        ASSERT_EQ(reply.status, 200) << reply.body;
        const json document = bodyJson(reply);
        const size_t samples = c.audioFrames < 0 ? static_cast<size_t>(kSpeechSampleRate)
                                                 : static_cast<size_t>(c.audioFrames) * kSpeechFrameSamples;
        EXPECT_EQ(document["sample_rate"], kSpeechSampleRate);
        EXPECT_EQ(document["channels"], 1);
        EXPECT_EQ(document["frames"], c.frames);
        EXPECT_EQ(document["truncated"], c.truncated);
        EXPECT_DOUBLE_EQ(document["duration_sec"].get<double>(),
                         std::round(static_cast<double>(samples) / kSpeechSampleRate * 100.0) / 100.0);
        EXPECT_FALSE(document.contains("voice"));
        ASSERT_EQ(document["files"].size(), 1u);
        expectWav(document["files"][0], samples);
    }
    EXPECT_TRUE(home_->becomesIdle("say"));
}

TEST_F(SpeechOnTheRelease, LoadInfoIsWhatTheReleaseReports) {
    ASSERT_EQ(speak({{"text", "load"}}).status, 200);
    const json info = bodyJson(home_->get("/v1/mivrel/say/modelInfo"));
    EXPECT_EQ(info["speech"], (json{{"model_type", "pockettts"},
                                    {"voices", json::array()},
                                    {"default_voice", nullptr},
                                    {"voice_clone", true},
                                    {"sample_rate", kSpeechSampleRate},
                                    {"channels", 1},
                                    {"max_seconds", 600}}));
    EXPECT_NE(home_->serverLog().find("[AudioEngine] 음성 생성 가중치 로드 완료: type=pockettts variant=english "
                                      "sample_rate=24000 channels=1 voices=0 default_voice=- voice_clone=true"),
              std::string::npos);
}

TEST_F(SpeechOnTheRelease, VoiceCloneAndRefusals) {
    const HttpReply stored = httpRequest(home_->port(), "POST", "/v1/mivrel/say/files",
                                         {{"Content-Type", "audio/wav"}}, toneRecording());
    ASSERT_EQ(stored.status, 200) << stored.body;
    const std::string recording = bodyJson(stored)["file"];
    const HttpReply cloned = speak({{"text", "Hello there, speech"}, {"speaker_ref", recording},
                                    {"speaker_ref_text", "a tone"}});
    ASSERT_EQ(cloned.status, 200) << cloned.body;
    const json document = bodyJson(cloned);
    EXPECT_EQ(document["speaker_ref"], recording);
    EXPECT_EQ(document["frames"], kSpeechTailFrames(20));
    expectWav(document["files"][0], static_cast<size_t>(kSpeechTailFrames(20)) * kSpeechFrameSamples);

    const HttpReply picture = httpRequest(home_->port(), "POST", "/v1/mivrel/say/files",
                                          {{"Content-Type", "audio/wav"}}, "\x89PNG not a recording");
    const std::string notAudio = bodyJson(picture)["file"];
    struct Refusal {
        json body;
        std::string message;
    } refusals[] = {
        {{{"text", "x"}, {"speaker_ref", notAudio}},
         "cannot read speaker_ref as audio (use wav, mp3 or flac): " + notAudio},
        {{{"text", "x"}, {"speed", 1.5}},
         "this model does not support the given speed / loudness (use speed 1.0 and loudness 0)"},
        {{{"text", "x"}, {"loudness", -6}},
         "this model does not support the given speed / loudness (use speed 1.0 and loudness 0)"},
        {{{"text", "x"}, {"voice", "alba"}}, "this model has no predefined voices (\"voice\" is not supported)"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.message);
        const HttpReply reply = speak(r.body);
        EXPECT_EQ(reply.status, 400) << reply.body;
        EXPECT_EQ(bodyJson(reply)["error"]["message"], r.message);
    }
    // Nothing the refusals left behind keeps the next job from speaking.
    const HttpReply after = speak({{"text", "hi"}});
    ASSERT_EQ(after.status, 200) << after.body;
    EXPECT_EQ(bodyJson(after)["frames"], kSpeechTailFrames(3));
    EXPECT_TRUE(home_->becomesIdle("say"));
}

}  // namespace
