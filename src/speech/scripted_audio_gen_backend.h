// A scripted audio-generation backend: it plays the whole extension from a
// script (kind, sample rate, channels, predefined voices, the clone flag,
// the samples of each frame, slow or endless speech, failures at chosen
// steps) without any audio-generation weights. The speech weights cannot
// exist on this platform, so the engine's tests run on it, and a server
// started with the stand-in switch (see initApp) uses it for every "AUDIO"
// instance, reading each instance's script from its weights file.
//
// Its prompt step decodes one real token into the llama context, so the
// engine's text sampler and hidden-state reads run on the real text model.
//
// The script is shared between the backend and whoever made it. The backend
// writes the observed fields from the job's worker; a reader looks at them
// once the job has ended (fetchNextEvent returned false), except the atomic
// counters, which may be read at any time. The rest is read-only while a
// backend plays it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "speech/audio_gen_backend.h"

struct ScriptedAudioScript {
    AudioGenInfo info{1, 24000, 1, "tiny", 0};  // voiceCount comes from `voices`
    std::vector<std::string> voices;
    bool clone = false;
    bool generatorFails = false;
    int32_t setInputResult = 0;
    int promptSteps = 1;     // stepPrompt calls before it reports 0
    int promptDelayMs = 0;
    int failPromptAt = -1;   // stepPrompt call that fails
    int frames = 3;          // frames until the end of speech
    bool endless = false;    // never reports the end
    int frameDelayMs = 0;
    int failFrameAt = -1;
    int failOutputAt = -1;   // takeOutput call that fails
    int32_t flushResult = 0;
    // The samples frame i produces; none when empty.
    std::function<std::vector<float>(int frame)> frameSamples;
    std::vector<float> flushSamples;

    // Observed.
    std::atomic<int> frameCalls{0};
    std::atomic<int> promptCalls{0};
    std::atomic<int> resets{0};
    AudioGenInput lastInput;
    std::string lastSpeaker;  // name of the speaker of the last input, "" for none
    std::vector<llama_token> tokens;
    std::vector<bool> hiddenSeen;
    std::string loadedPath;
};

// The speakers the scripted backend hands out: "voice:<name>" for a
// predefined voice, "ref:<bytes>" for a decoded reference recording.
class ScriptedSpeaker : public AudioGenSpeaker {
public:
    explicit ScriptedSpeaker(std::string name) : name(std::move(name)) {}
    std::string name;
};

class ScriptedAudioGenBackend : public AudioGenBackend {
public:
    explicit ScriptedAudioGenBackend(std::shared_ptr<ScriptedAudioScript> script) : s_(std::move(script)) {}

    AudioGenInfo info() const override;
    bool acceptsSpeakerReference() const override { return s_->clone; }
    bool voiceName(int32_t index, std::string& name) const override;
    std::unique_ptr<AudioGenSpeaker> voice(const std::string& name) override;
    // A recording is anything that starts with "RIFF".
    SpeakerDecode decodeSpeakerReference(const std::vector<uint8_t>& bytes,
                                         std::unique_ptr<AudioGenSpeaker>& speaker) override;

    bool createGenerator(llama_context* context) override;
    void freeGenerator() override { context_ = nullptr; }
    bool hasGenerator() const override { return context_ != nullptr; }

    void reset() override;
    int32_t setInput(const AudioGenInput& input) override;
    int32_t stepPrompt(int32_t nBatch) override;
    int32_t stepFrame(llama_token token, const float* hidden, const float** nextHidden, bool* done) override;
    int32_t takeOutput(std::vector<float>& samples) override;
    int32_t flush() override;

private:
    std::shared_ptr<ScriptedAudioScript> s_;
    llama_context* context_ = nullptr;
    std::vector<float> pending_;
    float hidden_[4] = {0, 0, 0, 0};
    int frame_ = 0;
    int prompt_ = 0;
    int outputs_ = 0;
};

// A loader that hands out backends playing `script` (and records the weights
// path it was asked for).
AudioGenLoader scriptedAudioGenLoader(std::shared_ptr<ScriptedAudioScript> script);

// A script from its JSON form, an object whose keys are all optional:
//   "kind", "sample_rate", "channels" (integers), "variant" (text),
//   "voices" (texts), "clone", "generator_fails", "endless" (booleans),
//   "set_input_result", "prompt_steps", "prompt_delay_ms", "fail_prompt_at",
//   "frames", "frame_delay_ms", "fail_frame_at", "fail_output_at",
//   "flush_result" (integers),
//   "frame_samples" (an array of sample arrays; frame i produces entry
//   i modulo their count), "flush_samples" (a sample array).
// A sample is a number or one of the texts "nan", "inf", "-inf". Throws
// std::invalid_argument naming the first key that is unknown or of the
// wrong type.
std::shared_ptr<ScriptedAudioScript> scriptedAudioScriptFromJson(const nlohmann::json& script);

// The stand-in loader: each weights file holds a script in its JSON form
// (at most 1 MiB); a file that cannot be read or is no valid script does not
// load (null, with the reason logged). Safe from any thread.
AudioGenLoader standInAudioGenLoader();
