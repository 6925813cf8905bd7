// A scripted audio-generation backend for the speech engine tests. It plays
// the full extension: predefined voices, the clone flag, any sample rate and
// channel count, failures at chosen steps, slow frames and endless speech.
// Its prompt step decodes one real token into the llama context, so the
// engine's sampler and hidden-state reads run on the real text model.
//
// The script is shared with the test. The worker writes its observed fields;
// the test reads them once the job has ended (fetchNextEvent returned false),
// except the atomics, which it may read at any time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "speech/audio_gen_backend.h"

struct FakeAudioScript {
    AudioGenInfo info{1, 24000, 1, "tiny", 0};
    std::vector<std::string> voices;
    bool clone = false;
    bool generatorFails = false;
    int32_t setInputResult = 0;
    int promptSteps = 1;         // stepPrompt calls before it reports 0
    int promptDelayMs = 0;
    int failPromptAt = -1;       // stepPrompt call that fails
    int frames = 3;              // frames until the end of speech
    bool endless = false;        // never reports the end
    int frameDelayMs = 0;
    int failFrameAt = -1;
    int failOutputAt = -1;       // takeOutput call that fails
    int32_t flushResult = 0;
    // The samples frame i produces; empty by default.
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

class FakeSpeaker : public AudioGenSpeaker {
public:
    explicit FakeSpeaker(std::string name) : name(std::move(name)) {}
    std::string name;
};

class FakeAudioGenBackend : public AudioGenBackend {
public:
    explicit FakeAudioGenBackend(std::shared_ptr<FakeAudioScript> script) : s_(std::move(script)) {}

    AudioGenInfo info() const override {
        AudioGenInfo info = s_->info;
        info.voiceCount = static_cast<int32_t>(s_->voices.size());
        return info;
    }
    bool acceptsSpeakerReference() const override { return s_->clone; }
    bool voiceName(int32_t index, std::string& name) const override {
        if (index < 0 || index >= static_cast<int32_t>(s_->voices.size())) return false;
        name = s_->voices[static_cast<size_t>(index)];
        return true;
    }
    std::unique_ptr<AudioGenSpeaker> voice(const std::string& name) override {
        for (const std::string& v : s_->voices) {
            if (v == name) return std::make_unique<FakeSpeaker>("voice:" + name);
        }
        return nullptr;
    }
    // A recording is anything that starts with "RIFF".
    SpeakerDecode decodeSpeakerReference(const std::vector<uint8_t>& bytes,
                                         std::unique_ptr<AudioGenSpeaker>& speaker) override {
        if (bytes.size() < 4 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF") return SpeakerDecode::NotAudio;
        speaker = std::make_unique<FakeSpeaker>("ref:" + std::to_string(bytes.size()));
        return SpeakerDecode::Audio;
    }

    bool createGenerator(llama_context* context) override {
        if (s_->generatorFails) return false;
        context_ = context;
        return true;
    }
    void freeGenerator() override { context_ = nullptr; }
    bool hasGenerator() const override { return context_ != nullptr; }

    void reset() override {
        ++s_->resets;
        pending_.clear();
        frame_ = 0;
        prompt_ = 0;
        outputs_ = 0;
    }
    int32_t setInput(const AudioGenInput& input) override {
        s_->lastInput = input;
        const auto* speaker = dynamic_cast<const FakeSpeaker*>(input.speaker);
        s_->lastSpeaker = speaker ? speaker->name : "";
        return s_->setInputResult;
    }
    int32_t stepPrompt(int32_t nBatch) override {
        if (nBatch <= 0) return -1;
        const int call = prompt_++;
        ++s_->promptCalls;
        if (s_->promptDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s_->promptDelayMs));
        if (call == s_->failPromptAt) return -1;
        if (call == 0) {
            llama_token token = 257;  // any token of the kit's vocabulary
            llama_batch batch = llama_batch_get_one(&token, 1);
            if (llama_decode(context_, batch) != 0) return -1;
        }
        return call + 1 < s_->promptSteps ? s_->promptSteps - call - 1 : 0;
    }
    int32_t stepFrame(llama_token token, const float* hidden, const float** nextHidden, bool* done) override {
        const int frame = frame_++;
        ++s_->frameCalls;
        s_->tokens.push_back(token);
        s_->hiddenSeen.push_back(hidden != nullptr);
        if (s_->frameDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(s_->frameDelayMs));
        if (frame == s_->failFrameAt) return 1;
        if (s_->frameSamples) {
            const std::vector<float> produced = s_->frameSamples(frame);
            pending_.insert(pending_.end(), produced.begin(), produced.end());
        }
        *nextHidden = hidden_;
        *done = !s_->endless && frame + 1 >= s_->frames;
        return 0;
    }
    int32_t takeOutput(std::vector<float>& samples) override {
        if (outputs_++ == s_->failOutputAt) return 1;
        samples.insert(samples.end(), pending_.begin(), pending_.end());
        pending_.clear();
        return 0;
    }
    int32_t flush() override {
        pending_.insert(pending_.end(), s_->flushSamples.begin(), s_->flushSamples.end());
        return s_->flushResult;
    }

private:
    std::shared_ptr<FakeAudioScript> s_;
    llama_context* context_ = nullptr;
    std::vector<float> pending_;
    float hidden_[4] = {0, 0, 0, 0};
    int frame_ = 0;
    int prompt_ = 0;
    int outputs_ = 0;
};

// A loader that hands out fake backends playing `script`.
inline AudioGenLoader fakeAudioGenLoader(std::shared_ptr<FakeAudioScript> script) {
    return [script](const AudioGenLoadRequest& request) -> std::unique_ptr<AudioGenBackend> {
        script->loadedPath = request.path;
        return std::make_unique<FakeAudioGenBackend>(script);
    };
}
