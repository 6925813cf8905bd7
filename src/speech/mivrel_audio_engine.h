// MivrelAudioEngine: the engine of "AUDIO" instances. The instance's GGUF
// model runs as the text model through llama.cpp; the model folder's
// `files.mmproj` holds the audio-generation weights, which an
// AudioGenBackend loads and whose generator turns the text model's hidden
// states into speech. A speech job runs on the engine's own worker thread,
// queues GenerationEvents ("progress" about once a second, then exactly one
// of "result", "cancelled" or "error") and stores its result as a WAV file
// in the instance's file store.
//
// Thread-safety: loading, unloading, startInputGeneration and destruction
// REQUIRE external synchronization (the instance's claim and lock).
// abortGeneration is safe from any thread at any time; fetchNextEvent is
// called by the one thread that started the job while it runs, and may
// overlap an unload or abort from another thread. Worker failures never
// escape the worker: they become the job's "error" event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/mivrel_llama_engine.h"
#include "speech/audio_gen_backend.h"

class FileStore;
struct StorageKey;

class MivrelAudioEngine : public MivrelLlamaEngine {
public:
    // The release's multimodal library loads the weights.
    MivrelAudioEngine();
    // `loader` makes the backend of the weights file (tests pass a fake).
    explicit MivrelAudioEngine(AudioGenLoader loader);
    // Cancels a running job, joins its worker, frees the speaker, the
    // generator and the weights; the base then frees context and model.
    ~MivrelAudioEngine() override;

    // Stops any job, waits for its worker, frees context, weights and model;
    // the voices and the default voice are emptied. Never throws.
    void unloadModel() override;
    // Asks a running job to end with "cancelled"; returns at once.
    void abortGeneration() override;

    // Starts one speech job. Throws MivrelException NotLoaded without a model,
    // context or generator, 3 while a job runs; GenerationInputError for a
    // request the job cannot run; the file store's exceptions when a speaker
    // reference cannot be read. Nothing keeps running after a throw.
    bool startInputGeneration(const GenerationInput& input) override;
    // Waits for the next event of the current (or last) job. False, after
    // joining the finished worker, once its final event has been taken, and
    // at once when no job ever ran.
    bool fetchNextEvent(GenerationEvent& event) override;

    bool supportsImageInput() override { return false; }
    bool supportsAudioInput() override { return false; }
    InputSchema getInputSchema() override;
    // Null while no weights are loaded.
    nlohmann::json getCapabilities() override;

    // Turns the context's embeddings output on: the generator reads the text
    // model's hidden state.
    void adjustContextParams(llama_context_params& params) override;
    // Makes the speech generator; MivrelException ContextFailed (and no context) when it
    // cannot.
    void onContextCreated() override;
    // Stops any job, frees the speaker and the generator, then the context.
    void freeContext() override;
    // Loads `files.mmproj` as audio-generation weights; MivrelException LoadFailed.
    void loadProjector() override;

    // Read-only views for the owner and for tests.
    const std::string& modelType() const { return modelType_; }
    int32_t sampleRate() const { return sampleRate_; }
    int32_t channels() const { return channels_; }
    bool voiceClone() const { return voiceClone_; }
    const std::vector<std::string>& voices() const { return voices_; }
    const std::string& defaultVoice() const { return defaultVoice_; }
    bool workerIdle();

private:
    struct Job;

    FileStore& attachedStore();
    // Chooses the speaker of a job (steps of the start that pick the voice).
    void chooseSpeaker(const GenerationInput& input, const std::string& voiceOption);
    void runJob(StorageKey key);
    void runFrames(Job& job);
    void finishJob(Job& job, GenerationEvent final);
    void queueEvent(GenerationEvent event);
    // Joins a finished or cancelled worker; never from the worker itself.
    void joinWorker();
    // Cancels and joins any job, then frees the speaker and the generator.
    void stopJobAndGenerator();

    AudioGenLoader loader_;
    std::unique_ptr<AudioGenBackend> backend_;

    std::string modelType_;
    int32_t sampleRate_ = 0;
    int32_t channels_ = 1;
    bool voiceClone_ = false;
    std::vector<std::string> voices_;
    std::string defaultVoice_;

    // The current job's choices; set by the start, read by the worker.
    std::unique_ptr<AudioGenSpeaker> speaker_;
    std::string jobVoice_;
    std::string jobSpeakerRef_;
    int64_t jobSeed_ = 0;
    double jobMaxSeconds_ = 0;

    std::mutex joinMutex_;  // guards worker_ (start and joins)
    std::thread worker_;
    std::mutex mutex_;      // guards queue_ and workerDone_
    std::condition_variable wake_;
    std::deque<GenerationEvent> queue_;
    bool workerDone_ = true;
    std::atomic<bool> cancelRequested_{false};
};

// The longest job in seconds: the first of the instance parameters and the
// model properties that has a "limits" object with a number "maxSeconds" of
// at least 1 gives it, truncated (and capped at the int range); else 600.
int audioMaxSeconds(const ModelLoadSettings& settings);
// The most frames a model kind can make in one job; 0 for no limit.
int audioModelFrameLimit(const std::string& modelType);
// The model kind's name for the kind number of the weights.
std::string audioModelTypeName(int32_t kind);
// The "max_seconds" a loaded engine reports: audioMaxSeconds, lowered by the
// model kind's frame limit (2940 samples a frame) when it has one.
int reportedMaxSeconds(int maxSeconds, const std::string& modelType, int32_t sampleRate);
