// Mivrel: one instance, a model made available under an id with its settings,
// its own file store and its run state. The manager (mivrel_manager.h) owns
// every instance through shared pointers, so a request that found an instance
// keeps a live record even when the instance is removed meanwhile.
//
// Who may touch what:
// - `state` is the claim: a request moves it from idle to running, the
//   management start from idle to loading, both by compare-and-exchange
//   (mivrel_claim.h). Whoever holds the claim may use `engine` without a lock
//   and change the response bookkeeping; unload and removal refuse a claimed
//   instance.
// - `engineMutex` is the load lock: the engine is installed and destroyed only
//   under it, so exactly one engine is ever installed. Only the stop path
//   uses the engine without a claim (abortGeneration), and it holds this lock.
// - Status views never call the engine: they read the status view that a
//   claim records when it ends (statusView(), under its own small mutex).
// - `mutex` serialises the management start, unload, reconfiguration and
//   deletion paths against each other.
// - Counters, times and flags are atomic: stop requests, status views and the
//   release watcher read them from other threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/engine_factory.h"
#include "engine/engine_thread.h"
#include "engine/mivrel_config.h"
#include "engine/mivrel_engine.h"
#include "engine/release_policy.h"
#include "storage/file_store.h"

// What status views show of an instance's engine and conversation. Status
// views run beside a request that drives the engine, so they never call into
// the engine; whoever holds the claim records these values when it ends.
struct MivrelStatusView {
    bool engineValues = false;  // the engine fields below were recorded
    ContextStats context;
    nlohmann::json sampling;      // getSamplingOptions; null without sampler
    nlohmann::json capabilities;  // getCapabilities; null for most engines
    std::string conversationId;
    std::string lastResponseId;
    int32_t generationIndex = 0;
    double lastTokensPerSec = 0;  // speed of the last chat generation; 0 when none
    // The loaded model's layers, recorded once when the engine is installed
    // (the placement does not change while it stays loaded).
    bool modelValues = false;
    int32_t modelLayers = 0;
    int32_t gpuLayersActual = 0;     // layers not in a "CPU" or "CPU_..." buffer
    int32_t gpuLayersRequested = 0;  // the GPU layer count asked for
};

class Mivrel {
public:
    // A default configuration, an unconfigured store, no engine, state idle.
    Mivrel();
    // Destroys the engine before the store it points to.
    ~Mivrel();
    Mivrel(const Mivrel&) = delete;
    Mivrel& operator=(const Mivrel&) = delete;

    // True when config.familyType is exactly "DECISION".
    bool isDecision() const;
    // True in state running (2) or stopping (3).
    bool isInferring() const;
    // Whether an engine is installed. Safe from any thread without a lock.
    bool hasEngine() const { return engineInstalled_.load(); }

    // A new engine for the configuration, loaded and with its context made,
    // not installed. Throws MivrelException LoadFailed "model not found: cannot find
    // the model files in the model folder" for a configuration that is not of
    // type "fake" and has neither model path nor model folder; the factory's
    // and the engine's own failures pass through. A failure leaves no engine
    // behind and the instance unchanged.
    std::unique_ptr<MivrelEngine> createEngine();

    // The load lock. When no engine is installed, calls `beforeLoad` (when
    // set), creates the engine and installs it, setting loadedAt and
    // lastActiveAt to now; returns true then. Returns false at once when an
    // engine is installed. Holds engineMutex throughout, so concurrent callers
    // install exactly one engine. A failure passes to the caller with nothing
    // installed. The state is not touched. Safe for concurrent use; a caller
    // that goes on to use the engine without engineMutex must hold a claim.
    bool ensureEngine(const std::function<void()>& beforeLoad = {});

    // With keepStore false, first empties the store when its truncate flag is
    // set (the result is not looked at). Then destroys the engine under
    // engineMutex and resets the run state: state idle, times and output
    // counters (but lifetimeOutputTokens) zero, abort flag cleared, response
    // bookkeeping emptied, conversation forgotten. Never throws.
    // REQUIRES: the caller holds a claim, or the instance is not registered
    // and nobody else uses it. Callers go through mivrel_claim.h.
    void unload(bool keepStore);

    // The values recorded for status views (see MivrelStatusView). Safe from
    // any thread; never touches the engine.
    MivrelStatusView statusView() const;
    // Records the engine's context statistics, sampling options and
    // capabilities and the conversation and last response id for status
    // views. Never throws (an engine failure leaves the engine values out).
    // REQUIRES: the caller holds a claim (mivrel_claim.h).
    void refreshStatusView();

    // Records how many context cells the running generation holds (what the
    // client has received included), so that status views show the context
    // as it is mid-generation instead of as the last claim left it. Cheap:
    // one small lock, the other recorded values stay. Nothing without
    // recorded engine values. REQUIRES: the caller holds a claim.
    void recordContextInUse(int32_t cells);

    // Hands the instance to `conversation` (conversationId), and records it
    // in the status view at once, so that a request of another conversation
    // that finds the instance busy can name the holder without touching the
    // holder's fields. REQUIRES: the caller holds a claim.
    void setConversation(const std::string& conversation);

    // Empties the store when its truncate flag is set; returns whether that
    // succeeded (false when the flag is not set).
    bool truncateStorageIfEnabled();

    // Asks a running generation to stop and waits, polling every 20 ms, for
    // the instance to leave the running and stopping states. True when it did
    // or was not running; false after `timeoutMs` with the instance left
    // stopping and abortRequested set. The engine's abortGeneration is called
    // once the engine lock is free, so an engine being unloaded is never
    // touched. Safe from any thread.
    bool stopGenerationAndWait(int timeoutMs);

    // The release policy now (release_policy.h). Never fails; a bad setting is
    // logged at every resolution.
    ReleasePolicy releasePolicy() const;
    // {"idle_minutes", "last_active_at", "policy", "release_at",
    //  "release_in_sec", "source"}; the release times only for a loaded, idle
    // instance under an "idle" policy that has been used.
    nlohmann::json releaseStatusJson() const;
    // Under an "after_generate" policy unloads the instance keeping its store,
    // logs and records "Mivrel unloaded" in the event log, and returns true;
    // otherwise returns false and changes nothing.
    // REQUIRES: the caller holds the run claim; a true result ends it.
    bool releaseAfterGenerate(const std::string& id);

    // The thinking budget of a messages request: the explicit value, else the
    // instance's "think_budget", else the model's genDefaults one, else 6000;
    // clamped to 0..32768.
    int resolveThinkBudget(bool explicitGiven, int64_t value) const;
    // `requested` lowered to 32768 and to the instance's limits.maxPredict.
    int maxPredict(int requested) const;

    // What the instance list reports of the model's files (size, capability
    // document), made by `read` on the first call and kept: a record's
    // configuration never changes (reconfiguration makes a new record), so
    // listing the instances touches no file after the first time. Safe for
    // concurrent use by multiple threads; `read` runs once.
    const nlohmann::json& listedFacts(const std::function<nlohmann::json()>& read) const;

    MivrelConfig config;
    FileStore fileStore;
    // Asked first for the engine that createEngine makes (tests); empty
    // leaves it to the engine factory's rows. Set before the first load.
    MivrelEngineMaker engineMaker;
    // Present only while loaded. See the header comment for who may use it.
    std::unique_ptr<MivrelEngine> engine;
    // Where the claim holder runs the engine's prompt decoding and token
    // loop, so that every request of this instance computes on the same warm
    // threads (engine_thread.h). It ends when the engine is destroyed.
    EngineThread engineThread;
    // The claim holder's; others read statusView().conversationId. Changed
    // through setConversation.
    std::string conversationId;
    std::atomic<int> state{kMivrelIdle};
    std::atomic<int64_t> loadedAt{0};      // epoch ms
    std::atomic<int64_t> lastActiveAt{0};  // epoch ms
    std::atomic<int64_t> inputTokens{0};
    std::atomic<int64_t> totalOutputTokens{0};
    std::atomic<int32_t> currentOutputTokens{0};
    std::atomic<int32_t> lastOutputTokens{0};
    std::atomic<int32_t> sessionOutputTokens{0};
    std::atomic<int64_t> lifetimeOutputTokens{0};
    double lastTokensPerSec = 0;
    std::atomic<bool> abortRequested{false};
    std::string lastResponseId;
    std::string openResponseId;
    std::string openPhase;
    std::string declaredTools;
    std::string pendingToolCall;
    std::string lastEndKind;
    nlohmann::json lastToolCalls = nlohmann::json::array();
    int32_t generationIndex = 0;
    std::mutex mutex;

    // The load lock (see the header comment).
    std::mutex engineMutex;
    // Set once when the instance is removed from the manager; a removed
    // instance can never be claimed again.
    std::atomic<bool> retired{false};

private:
    mutable std::once_flag listedFactsOnce_;
    mutable nlohmann::json listedFacts_;
    friend class MivrelManager;
    // Destroys the engine under engineMutex; the state is left as it is.
    void destroyEngine();

    // Records `source`'s values as the engine part of the status view.
    void recordEngineStatus(MivrelEngine& source);
    // Records the layer figures of `source`'s model for status views.
    void recordModelFigures(MivrelEngine& source);

    std::atomic<bool> engineInstalled_{false};
    mutable std::mutex statusMutex_;
    MivrelStatusView statusView_;
};
