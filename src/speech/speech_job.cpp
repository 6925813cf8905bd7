// MivrelAudioEngine: the speech jobs. The start checks and prepares
// everything that can fail on the caller's thread; the worker then prompts,
// generates frames, converts and stores the result, and always queues
// exactly one final event.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <span>
#include <stdexcept>

#include "base/logger.h"
#include "engine/llama_handles.h"
#include "engine/mivrel_exception.h"
#include "speech/mivrel_audio_engine.h"
#include "speech/wav_writer.h"
#include "storage/file_store.h"
#include "storage/storage_key.h"

namespace {

// A reference recording is a short clip; anything bigger is refused before
// it is read into memory.
constexpr uint64_t kMaxSpeakerRefBytes = 32ull << 20;
constexpr int64_t kProgressEveryMs = 1000;
constexpr int kZonosFrameCap = 1999;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double round2(double value) { return std::round(value * 100.0) / 100.0; }

bool isBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

std::string optionText(const nlohmann::json& options, const char* name) {
    const auto it = options.find(name);
    return it != options.end() && it->is_string() ? it->get<std::string>() : std::string();
}

double optionNumber(const nlohmann::json& options, const char* name, double fallback) {
    const auto it = options.find(name);
    return it != options.end() && it->is_number() ? it->get<double>() : fallback;
}

// The "seed" option; -1 when missing or not a whole number. The schema takes
// 7.0 as an integer, so a whole float counts too.
int64_t optionSeed(const nlohmann::json& options) {
    const auto it = options.find("seed");
    if (it == options.end()) return -1;
    if (it->is_number_integer()) return it->get<int64_t>();
    if (it->is_number_float()) {
        const double v = it->get<double>();
        if (std::floor(v) == v && v > -9.2e18 && v < 9.2e18) return static_cast<int64_t>(v);
    }
    return -1;
}

[[noreturn]] void refuse(const std::string& message) { throw GenerationInputError(message); }

}  // namespace

struct MivrelAudioEngine::Job {
    int64_t t0 = 0;
    uint64_t budget = 0;  // interleaved samples; 0: none
    int32_t frames = 0;
    bool truncated = false;
    int64_t promptMs = 0;
    std::vector<float> samples;
    LlamaSamplerPtr sampler;
};

FileStore& MivrelAudioEngine::attachedStore() {
    if (!fileStore) throw MivrelException(MivrelErrorCode::RuntimeFailed, "file store is not attached");
    return *fileStore;
}

bool MivrelAudioEngine::workerIdle() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workerDone_;
}

void MivrelAudioEngine::joinWorker() {
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void MivrelAudioEngine::queueEvent(GenerationEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(event));
    }
    wake_.notify_all();
}

bool MivrelAudioEngine::fetchNextEvent(GenerationEvent& event) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !queue_.empty() || workerDone_; });
        if (!queue_.empty()) {
            event = std::move(queue_.front());
            queue_.pop_front();
            return true;
        }
    }
    joinWorker();
    return false;
}

void MivrelAudioEngine::chooseSpeaker(const GenerationInput& input, const std::string& voiceOption) {
    const std::vector<std::string> references = input.filesOfType("audio", "reference");
    if (!references.empty()) {
        const std::string& name = references.front();
        const std::string shown = "files/" + name;
        if (!voiceClone_) refuse("this model does not support voice cloning (speaker_ref)");
        FileStore& store = attachedStore();
        StoredFileInfo stat;
        if (store.stat(name, stat) && stat.size > kMaxSpeakerRefBytes) {
            refuse("speaker_ref is too large (at most 32 MiB): " + shown);
        }
        const Bytes bytes = store.read(name, input.storeKey);
        if (bytes.size() > kMaxSpeakerRefBytes) refuse("speaker_ref is too large (at most 32 MiB): " + shown);
        std::unique_ptr<AudioGenSpeaker> speaker;
        if (backend_->decodeSpeakerReference(std::vector<uint8_t>(bytes.begin(), bytes.end()), speaker) !=
                SpeakerDecode::Audio ||
            !speaker) {
            refuse("cannot read speaker_ref as audio (use wav, mp3 or flac): " + shown);
        }
        speaker_ = std::move(speaker);
        jobSpeakerRef_ = shown;
        return;
    }
    if (!voices_.empty()) {
        const std::string name = voiceOption.empty() ? defaultVoice_ : voiceOption;
        std::unique_ptr<AudioGenSpeaker> voice = backend_->voice(name);
        if (!voice) {
            std::string available;
            for (const std::string& v : voices_) available += (available.empty() ? "" : ", ") + v;
            refuse("unknown voice \"" + name + "\" (available: " + available + ")");
        }
        speaker_ = std::move(voice);
        jobVoice_ = name;
        return;
    }
    if (!voiceOption.empty()) refuse("this model has no predefined voices (\"voice\" is not supported)");
}

bool MivrelAudioEngine::startInputGeneration(const GenerationInput& input) {
    if (!model_ || !context_ || !backend_ || !backend_->hasGenerator()) {
        throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!workerDone_) throw MivrelException(MivrelErrorCode::BadInput, "generation already in progress");
    }
    joinWorker();
    speaker_.reset();

    const std::string text = input.textOfRole("prompt");
    if (isBlank(text)) refuse("\"text\" must not be empty");
    const std::string voiceOption = optionText(input.options, "voice");
    if (!input.filesOfType("audio", "reference").empty() && !voiceOption.empty()) {
        refuse("\"voice\" and \"speaker_ref\" cannot be used together");
    }
    // A text longer than the context could ever hold is refused before the
    // generator tokenizes it.
    if (text.size() > maxInputBytes()) {
        refuse("the model rejected the input (text may be empty or too long for n_ctx " +
               std::to_string(contextSettings_.nCtx) + ")");
    }

    jobVoice_.clear();
    jobSpeakerRef_.clear();
    chooseSpeaker(input, voiceOption);

    int64_t seed = optionSeed(input.options);
    if (seed < 0) seed = static_cast<int64_t>(std::random_device{}() & 0x7FFFFFFFu);
    jobSeed_ = seed;
    jobMaxSeconds_ = optionNumber(input.options, "max_seconds", audioMaxSeconds(loadSettings_));
    const std::string lang = optionText(input.options, "lang");

    AudioGenInput record;
    record.text = text;
    record.speaker = speaker_.get();
    record.referenceText = input.textOfRole("reference_text");
    record.lang = lang;
    record.temperature = static_cast<float>(optionNumber(input.options, "temperature", -1.0));
    record.seed = static_cast<uint32_t>(seed & 0xFFFFFFFF);
    record.speed = static_cast<float>(optionNumber(input.options, "speed", 1.0));
    record.loudness = static_cast<float>(optionNumber(input.options, "loudness", 0.0));

    llama_memory_clear(llama_get_memory(context_.get()), true);
    backend_->reset();
    const int32_t accepted = backend_->setInput(record);
    if (accepted == 2) {
        speaker_.reset();
        refuse("this model does not support the given speed / loudness (use speed 1.0 and loudness 0)");
    }
    if (accepted != 0) {
        speaker_.reset();
        refuse("the model rejected the input (text may be empty or too long for n_ctx " +
               std::to_string(contextSettings_.nCtx) + ")");
    }

    logMessage(4,
               "[AudioEngine] 생성 시작: chars=%zu voice=%s speaker_ref=%s seed=%lld temp=%.2f speed=%.2f "
               "loudness=%.1f max_seconds=%.0f",
               text.size(), jobVoice_.empty() ? "-" : jobVoice_.c_str(),
               jobSpeakerRef_.empty() ? "-" : jobSpeakerRef_.c_str(), static_cast<long long>(jobSeed_),
               record.temperature, record.speed, record.loudness, jobMaxSeconds_);

    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
        workerDone_ = false;
    }
    cancelRequested_.store(false);
    try {
        std::lock_guard<std::mutex> lock(joinMutex_);
        worker_ = std::thread(&MivrelAudioEngine::runJob, this, input.storeKey);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            workerDone_ = true;
        }
        speaker_.reset();
        backend_->reset();
        throw;
    }
    return true;
}

void MivrelAudioEngine::runJob(StorageKey key) {
    Job job;
    job.t0 = steadyMs();
    GenerationEvent final;
    try {
        const double rateSamples = std::floor(static_cast<double>(sampleRate_) * jobMaxSeconds_);
        job.budget = rateSamples > 0 ? static_cast<uint64_t>(std::min(rateSamples, 1e18)) *
                                           static_cast<uint64_t>(channels_)
                                     : 0;

        const int32_t nBatch = static_cast<int32_t>(llama_n_batch(context_.get()));
        while (!cancelRequested_.load()) {
            const int32_t left = backend_->stepPrompt(nBatch);
            if (left < 0) throw std::runtime_error("prompt processing failed");
            if (left == 0) break;
        }
        job.promptMs = steadyMs() - job.t0;

        if (!cancelRequested_.load()) runFrames(job);

        if (cancelRequested_.load()) {
            final.type = "cancelled";
        } else {
            if (backend_->flush() != 0) throw std::runtime_error("flushing generated audio failed");
            if (backend_->takeOutput(job.samples) != 0) throw std::runtime_error("reading generated audio failed");
            if (job.budget > 0 && job.samples.size() > job.budget) job.samples.resize(job.budget);
            if (job.samples.empty()) throw std::runtime_error("the model generated no audio");
            const std::vector<uint8_t> wav = encodeWav16(job.samples, sampleRate_, channels_);
            const std::string stored =
                attachedStore().saveGeneratedFile("gen", "wav", std::span<const uint8_t>(wav), key);
            final.type = "result";
            final.files.push_back(stored);
            nlohmann::json data = nlohmann::json::object();
            if (!jobVoice_.empty()) data["voice"] = jobVoice_;
            if (!jobSpeakerRef_.empty()) data["speaker_ref"] = jobSpeakerRef_;
            data["seed"] = jobSeed_;
            data["sample_rate"] = sampleRate_;
            data["channels"] = channels_;
            data["duration_sec"] =
                round2(static_cast<double>(job.samples.size()) / channels_ / std::max(1, sampleRate_));
            data["frames"] = job.frames;
            data["truncated"] = job.truncated;
            data["prompt_ms"] = job.promptMs;
            final.data = std::move(data);
        }
    } catch (const std::exception& e) {
        final = GenerationEvent{};
        final.type = "error";
        final.data = {{"message", e.what()}};
        logMessage(1, "[AudioEngine] 생성 실패: %s", e.what());
    } catch (...) {
        final = GenerationEvent{};
        final.type = "error";
        final.data = {{"message", "generation failed"}};
        logMessage(1, "[AudioEngine] 생성 실패: %s", "generation failed");
    }
    finishJob(job, std::move(final));
    wipeKey(key);
}

void MivrelAudioEngine::runFrames(Job& job) {
    llama_sampler_chain_params chainParams = llama_sampler_chain_default_params();
    job.sampler.reset(llama_sampler_chain_init(chainParams));
    if (!job.sampler) throw std::runtime_error("cannot build the text sampler");
    llama_sampler_chain_add(job.sampler.get(), llama_sampler_init_top_k(50));
    llama_sampler_chain_add(job.sampler.get(), llama_sampler_init_top_p(1.0f, 1));
    llama_sampler_chain_add(job.sampler.get(), llama_sampler_init_temp(0.8f));
    llama_sampler_chain_add(job.sampler.get(), llama_sampler_init_dist(static_cast<uint32_t>(jobSeed_ & 0xFFFFFFFF)));

    llama_context* ctx = context_.get();
    // The sampler reads the logits of the last position; without them (a
    // generator that asked for none) there is no token to give.
    auto sampleToken = [&]() -> llama_token {
        if (!llama_get_logits_ith(ctx, -1)) return -1;
        return llama_sampler_sample(job.sampler.get(), ctx, -1);
    };
    llama_token token = sampleToken();
    const float* hidden = llama_get_embeddings_ith(ctx, -1);

    int64_t lastProgress = steadyMs();
    bool done = false;
    while (!done && !cancelRequested_.load()) {
        const float* next = nullptr;
        if (backend_->stepFrame(token, hidden, &next, &done) != 0) {
            throw std::runtime_error("audio frame generation failed at frame " + std::to_string(job.frames));
        }
        if (backend_->takeOutput(job.samples) != 0) throw std::runtime_error("reading generated audio failed");
        // Fail early rather than hold audio that no WAV file can take.
        if (job.samples.size() > kMaxWavSamples) throw std::runtime_error("audio output is too large for a wav file");
        if (!next) break;
        ++job.frames;
        token = sampleToken();
        hidden = next;
        if (job.budget > 0 && job.samples.size() >= job.budget) {
            job.truncated = true;
            break;
        }
        const int64_t now = steadyMs();
        if (now - lastProgress >= kProgressEveryMs) {
            lastProgress = now;
            GenerationEvent progress;
            progress.type = "progress";
            progress.elapsedMs = now - job.t0;
            const double seconds =
                sampleRate_ >= 1 ? static_cast<double>(job.samples.size()) / channels_ / sampleRate_ : 0.0;
            progress.data = {{"frames", job.frames}, {"audio_sec", round2(seconds)}};
            queueEvent(std::move(progress));
        }
    }
    if (modelType_ == "zonos3" && job.frames >= kZonosFrameCap) job.truncated = true;
}

void MivrelAudioEngine::finishJob(Job& job, GenerationEvent final) {
    final.elapsedMs = steadyMs() - job.t0;
    job.sampler.reset();
    try {
        backend_->reset();
        speaker_.reset();
        logMessage(4, "[AudioEngine] 생성 끝: %s (%lld ms) frames=%d audio=%.2fs truncated=%s files=%zu",
                   final.type.c_str(), static_cast<long long>(final.elapsedMs), job.frames,
                   sampleRate_ >= 1 ? static_cast<double>(job.samples.size()) / channels_ / sampleRate_ : 0.0,
                   job.truncated ? "true" : "false", final.files.size());
    } catch (...) {
        // Nothing here may keep the final event from its reader.
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(final));
    }
    wake_.notify_all();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workerDone_ = true;
    }
    wake_.notify_all();
}
