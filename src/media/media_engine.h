// MivrelMediaEngine: the engine of "IMAGE" and "VIDEO" instances. Loading
// turns the model folder's properties.json and the instance parameters into
// one context of the media library (placement per module, weights, checks of
// the model files); a job turns a prompt and stored input images into PNG
// files or one WebM video in the instance's file store, on a worker thread
// of the engine, reporting "queued", "progress" and one final event
// ("result", "error" or "cancelled").
//
// Threads: the instance's claim gives one user at a time for loadModel,
// unloadModel, startInputGeneration, fetchNextEvent and getInputSchema;
// abortGeneration may come from any thread at any moment. The job runs on
// the engine's own worker thread, which unloadModel, the next start,
// fetchNextEvent after the last event and the destructor join. Only one media
// job in the process is inside the library at a time (media_job_lock.h).
//
// Failures: load failures are MivrelException LoadFailed; start refusals are thrown
// (MivrelException NotLoaded "model is not loaded", BadInput "generation
// already in progress", GenerationInputError for bad input); everything that fails
// inside a job becomes its "error" event, never an exception.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/mivrel_engine.h"
#include "media/sd_api.h"

class SdTensorList;

class MivrelMediaEngine : public MivrelEngine {
public:
    // `familyType` is "IMAGE" or "VIDEO" and never changes.
    explicit MivrelMediaEngine(std::string familyType);
    // Cancels and joins a running job, frees the context, drops the events.
    ~MivrelMediaEngine() override;

    // Builds the library context, or throws MivrelException LoadFailed. Loading while
    // loaded only logs.
    void loadModel(const ModelLoadSettings& settings) override;
    // Cancels and joins a running job, then frees the context; harmless when
    // nothing is loaded.
    void unloadModel() override;
    void initContext(const ContextSettings& settings) override;
    // Asks the running or waiting job to stop; returns at once.
    void abortGeneration() override;
    // Loaded flag, total model file size and "sd.cpp <version> (<roles>)".
    ModelInfo getModelInfo() override;
    ContextStats getContextStats() override;

    // Starts an image (IMAGE) or video (VIDEO) job on its own copy of
    // `input`, checked against getInputSchema() first. Throws before any job
    // exists; true otherwise.
    bool startInputGeneration(const GenerationInput& input) override;
    // The oldest queued event of the job (true), waiting while the job runs
    // and has queued nothing; false once the final event has been taken (the
    // worker is joined then) and for an engine that never ran a job.
    bool fetchNextEvent(GenerationEvent& event) override;
    // The accepted parts and options, built from the last load's generation
    // defaults, limits and vision flag (built-in values before any load).
    InputSchema getInputSchema() override;

    const std::string& familyType() const { return familyType_; }
    bool isVideo() const { return familyType_ == "VIDEO"; }
    bool loaded() const { return context_.load() != nullptr; }
    // What the last load decided, for its callers and tests.
    const std::map<std::string, std::string>& roleFiles() const { return roleFiles_; }
    const std::string& placement() const { return placement_; }
    const std::string& weights() const { return weights_; }
    const std::string& maxVram() const { return maxVram_; }
    bool vision() const { return vision_; }
    const nlohmann::json& genDefaults() const { return genDefaults_; }
    const nlohmann::json& limits() const { return limits_; }

    // Queues a "progress" event (the library's progress callback, any thread).
    void queueProgress(int32_t step, int32_t steps);

private:
    // The outcome of one guarded library call.
    struct LibraryCall {
        bool ran = false;       // false: cancelled before the call
        int32_t status = 0;
        std::string error;      // sdLastError() when status != 0
        int64_t elapsedMs = 0;  // duration of the call
    };

    void buildContext(const nlohmann::json& loadDefaults, bool mmap);
    void joinWorker();
    void queueEvent(GenerationEvent event);
    void runJob(const GenerationInput& input) noexcept;
    GenerationEvent generateImages(const GenerationInput& input);
    GenerationEvent generateVideo(const GenerationInput& input);
    // The process-wide media lock for one whole job, taken without waiting
    // when free; else "queued" is announced and the lock awaited. Not owned
    // on return when the job was cancelled while it waited.
    std::unique_lock<std::mutex> awaitMediaLock();
    // Unless cancelled, runs `call` as the current job of the library.
    // REQUIRES: the caller holds the media lock (awaitMediaLock).
    LibraryCall callLibrary(int32_t steps, const std::function<int32_t()>& call);
    sd_tensor* imageFileToSdTensor(const std::string& file, const GenerationInput& input, SdTensorList& tensors);
    std::string saveOutputs(const std::string& extension, const std::vector<uint8_t>& bytes,
                            const GenerationInput& input);
    void checkSamplerNames(const nlohmann::json& options) const;

    const std::string familyType_;
    ModelLoadSettings settings_;
    std::atomic<sd_ctx*> context_{nullptr};
    std::map<std::string, std::string> roleFiles_;
    std::string maxVram_;
    std::string placement_;
    std::string weights_;
    bool vision_ = false;
    nlohmann::json genDefaults_ = nlohmann::json::object();
    nlohmann::json limits_ = nlohmann::json::object();

    std::thread worker_;
    std::mutex mutex_;  // guards events_ and workerDone_
    std::condition_variable changed_;
    std::deque<GenerationEvent> events_;
    bool workerDone_ = true;
    std::atomic<bool> cancelRequested_{false};
    std::atomic<int64_t> jobStartMs_{0};
};
