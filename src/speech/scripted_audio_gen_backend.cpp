#include "speech/scripted_audio_gen_backend.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"

namespace {

// A script is a small card; the file is never a real weights file.
constexpr uintmax_t kMaxScriptBytes = 1u << 20;

void pause(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

[[noreturn]] void badKey(const std::string& key, const char* what) {
    throw std::invalid_argument("stand-in script: \"" + key + "\" " + what);
}

int32_t intOf(const std::string& key, const nlohmann::json& value) {
    if (!value.is_number_integer()) badKey(key, "must be an integer");
    const int64_t v = value.get<int64_t>();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
        badKey(key, "is out of range");
    }
    return static_cast<int32_t>(v);
}

bool boolOf(const std::string& key, const nlohmann::json& value) {
    if (!value.is_boolean()) badKey(key, "must be a boolean");
    return value.get<bool>();
}

// JSON has no NaN or infinities; the script writes them as texts so that
// the conversion of such samples can be shown over the wire.
std::vector<float> samplesOf(const std::string& key, const nlohmann::json& value) {
    if (!value.is_array()) badKey(key, "must be an array of samples");
    std::vector<float> samples;
    for (const nlohmann::json& sample : value) {
        if (sample.is_number()) {
            samples.push_back(static_cast<float>(sample.get<double>()));
        } else if (sample == "nan") {
            samples.push_back(std::numeric_limits<float>::quiet_NaN());
        } else if (sample == "inf") {
            samples.push_back(std::numeric_limits<float>::infinity());
        } else if (sample == "-inf") {
            samples.push_back(-std::numeric_limits<float>::infinity());
        } else {
            badKey(key, "holds a sample that is neither a number nor \"nan\", \"inf\" or \"-inf\"");
        }
    }
    return samples;
}

}  // namespace

AudioGenInfo ScriptedAudioGenBackend::info() const {
    AudioGenInfo info = s_->info;
    info.voiceCount = static_cast<int32_t>(s_->voices.size());
    return info;
}

bool ScriptedAudioGenBackend::voiceName(int32_t index, std::string& name) const {
    if (index < 0 || index >= static_cast<int32_t>(s_->voices.size())) return false;
    name = s_->voices[static_cast<size_t>(index)];
    return true;
}

std::unique_ptr<AudioGenSpeaker> ScriptedAudioGenBackend::voice(const std::string& name) {
    for (const std::string& v : s_->voices) {
        if (v == name) return std::make_unique<ScriptedSpeaker>("voice:" + name);
    }
    return nullptr;
}

SpeakerDecode ScriptedAudioGenBackend::decodeSpeakerReference(const std::vector<uint8_t>& bytes,
                                                              std::unique_ptr<AudioGenSpeaker>& speaker) {
    if (bytes.size() < 4 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF") return SpeakerDecode::NotAudio;
    speaker = std::make_unique<ScriptedSpeaker>("ref:" + std::to_string(bytes.size()));
    return SpeakerDecode::Audio;
}

bool ScriptedAudioGenBackend::createGenerator(llama_context* context) {
    if (s_->generatorFails) return false;
    context_ = context;
    return true;
}

void ScriptedAudioGenBackend::reset() {
    ++s_->resets;
    pending_.clear();
    frame_ = 0;
    prompt_ = 0;
    outputs_ = 0;
}

int32_t ScriptedAudioGenBackend::setInput(const AudioGenInput& input) {
    s_->lastInput = input;
    const auto* speaker = dynamic_cast<const ScriptedSpeaker*>(input.speaker);
    s_->lastSpeaker = speaker ? speaker->name : "";
    return s_->setInputResult;
}

int32_t ScriptedAudioGenBackend::stepPrompt(int32_t nBatch) {
    if (nBatch <= 0 || !context_) return -1;
    const int call = prompt_++;
    ++s_->promptCalls;
    pause(s_->promptDelayMs);
    if (call == s_->failPromptAt) return -1;
    if (call == 0) {
        // Any token of the text model's vocabulary gives the sampler logits
        // and the generator a hidden state to read.
        const llama_vocab* vocab = llama_model_get_vocab(llama_get_model(context_));
        llama_token token = std::min<llama_token>(257, llama_vocab_n_tokens(vocab) - 1);
        llama_batch batch = llama_batch_get_one(&token, 1);
        if (llama_decode(context_, batch) != 0) return -1;
    }
    return call + 1 < s_->promptSteps ? s_->promptSteps - call - 1 : 0;
}

int32_t ScriptedAudioGenBackend::stepFrame(llama_token token, const float* hidden, const float** nextHidden,
                                           bool* done) {
    const int frame = frame_++;
    ++s_->frameCalls;
    s_->tokens.push_back(token);
    s_->hiddenSeen.push_back(hidden != nullptr);
    pause(s_->frameDelayMs);
    if (frame == s_->failFrameAt) return 1;
    if (s_->frameSamples) {
        const std::vector<float> produced = s_->frameSamples(frame);
        pending_.insert(pending_.end(), produced.begin(), produced.end());
    }
    *nextHidden = hidden_;
    *done = !s_->endless && frame + 1 >= s_->frames;
    return 0;
}

int32_t ScriptedAudioGenBackend::takeOutput(std::vector<float>& samples) {
    if (outputs_++ == s_->failOutputAt) return 1;
    samples.insert(samples.end(), pending_.begin(), pending_.end());
    pending_.clear();
    return 0;
}

int32_t ScriptedAudioGenBackend::flush() {
    pending_.insert(pending_.end(), s_->flushSamples.begin(), s_->flushSamples.end());
    return s_->flushResult;
}

AudioGenLoader scriptedAudioGenLoader(std::shared_ptr<ScriptedAudioScript> script) {
    return [script](const AudioGenLoadRequest& request) -> std::unique_ptr<AudioGenBackend> {
        script->loadedPath = request.path;
        return std::make_unique<ScriptedAudioGenBackend>(script);
    };
}

std::shared_ptr<ScriptedAudioScript> scriptedAudioScriptFromJson(const nlohmann::json& doc) {
    if (!doc.is_object()) throw std::invalid_argument("stand-in script: not a JSON object");
    auto script = std::make_shared<ScriptedAudioScript>();
    std::vector<std::vector<float>> frames;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        const std::string& key = it.key();
        const nlohmann::json& v = it.value();
        if (key == "kind") {
            script->info.kind = intOf(key, v);
        } else if (key == "sample_rate") {
            script->info.sampleRate = intOf(key, v);
        } else if (key == "channels") {
            script->info.channels = intOf(key, v);
        } else if (key == "variant") {
            if (!v.is_string()) badKey(key, "must be a text");
            script->info.variant = v.get<std::string>();
        } else if (key == "voices") {
            if (!v.is_array()) badKey(key, "must be an array of texts");
            for (const nlohmann::json& name : v) {
                if (!name.is_string()) badKey(key, "must be an array of texts");
                script->voices.push_back(name.get<std::string>());
            }
        } else if (key == "clone") {
            script->clone = boolOf(key, v);
        } else if (key == "generator_fails") {
            script->generatorFails = boolOf(key, v);
        } else if (key == "endless") {
            script->endless = boolOf(key, v);
        } else if (key == "set_input_result") {
            script->setInputResult = intOf(key, v);
        } else if (key == "prompt_steps") {
            script->promptSteps = intOf(key, v);
        } else if (key == "prompt_delay_ms") {
            script->promptDelayMs = intOf(key, v);
        } else if (key == "fail_prompt_at") {
            script->failPromptAt = intOf(key, v);
        } else if (key == "frames") {
            script->frames = intOf(key, v);
        } else if (key == "frame_delay_ms") {
            script->frameDelayMs = intOf(key, v);
        } else if (key == "fail_frame_at") {
            script->failFrameAt = intOf(key, v);
        } else if (key == "fail_output_at") {
            script->failOutputAt = intOf(key, v);
        } else if (key == "flush_result") {
            script->flushResult = intOf(key, v);
        } else if (key == "frame_samples") {
            if (!v.is_array()) badKey(key, "must be an array of sample arrays");
            for (const nlohmann::json& frame : v) frames.push_back(samplesOf(key, frame));
        } else if (key == "flush_samples") {
            script->flushSamples = samplesOf(key, v);
        } else {
            badKey(key, "is not a script key");
        }
    }
    if (!frames.empty()) {
        script->frameSamples = [frames](int frame) { return frames[static_cast<size_t>(frame) % frames.size()]; };
    }
    return script;
}

AudioGenLoader standInAudioGenLoader() {
    return [](const AudioGenLoadRequest& request) -> std::unique_ptr<AudioGenBackend> {
        try {
            std::error_code ec;
            const uintmax_t size = std::filesystem::file_size(request.path, ec);
            if (ec || size > kMaxScriptBytes) throw std::invalid_argument("stand-in script: unreadable or too large");
            auto script = scriptedAudioScriptFromJson(parseJson(readFileToString(request.path)));
            script->loadedPath = request.path;
            return std::make_unique<ScriptedAudioGenBackend>(std::move(script));
        } catch (const std::exception& e) {
            logMessage(1, "[AudioEngine] stand-in weights %s not loaded: %s", request.path.c_str(), e.what());
            return nullptr;
        }
    };
}
