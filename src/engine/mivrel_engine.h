// MivrelEngine: the one interface behind which every model runtime sits, so
// that the instance lifecycle, both APIs and decision scoring drive every
// model family the same way. The factory (engine_factory.h) picks the class
// by familyType.
//
// Calling order: make it with the factory, set `fileStore`, loadModel,
// initContext; then any of the working operations, one user at a time (the
// instance's claim ensures that); finally destroy it. abortGeneration may be
// called from another thread at any moment; every engine class makes that
// safe. A new engine does no work before loadModel.
//
// The first six operations after the destructor have no body here. Of the
// others, some answer neutrally (false, null, empty, nothing done) and the rest
// refuse with MivrelException BadInput and a text that begins "this engine does
// not support " and names the operation, so a client learns which operation
// the instance's family lacks. A refusal changes nothing in the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/decision_model_info.h"
#include "engine/engine_records.h"
#include "engine/generation_input.h"
#include "engine/load_settings.h"
#include "prompt/message_assembler.h"

class FileStore;

using TokenCallback = std::function<void(int32_t token, const std::string& piece)>;
using MessageCallback = std::function<void(const ModelMessageT&)>;

class MivrelEngine {
public:
    MivrelEngine() = default;
    MivrelEngine(const MivrelEngine&) = delete;
    MivrelEngine& operator=(const MivrelEngine&) = delete;
    // Releases nothing of its own: the file store belongs to the instance.
    virtual ~MivrelEngine() = default;

    // Slots 1 to 6: every concrete engine provides them.

    // Loads the model files `settings` names (the weights and, where the
    // family has them, the projector or companion files). Comes first: the
    // working operations need a model. Throws MivrelException LoadFailed
    // when a file is missing, refused or cannot be loaded; the engine then
    // holds no model. A call while a model is loaded logs a warning and
    // changes nothing: unload first.
    virtual void loadModel(const ModelLoadSettings& settings) = 0;
    // Ends a job the engine runs on its own thread (waiting for it), then
    // frees the context and the model. Never throws. Harmless without a
    // model and when repeated; afterwards the engine accepts loadModel again.
    virtual void unloadModel() = 0;
    // Replaces the context by one made from `settings`: the memory starts
    // empty and nPast is 0. REQUIRES loadModel first. Throws MivrelException
    // NotLoaded without a model and ContextFailed when the library cannot
    // make the context (the model stays loaded, without a context). Calling
    // it again discards the old context and its memory. Engines that work
    // without a context (media) accept it and do nothing.
    virtual void initContext(const ContextSettings& settings) = 0;
    // Asks the running generation or job to stop at its next check; the
    // worker then ends it as aborted. Engines whose work cannot be
    // interrupted (decision scoring) ignore it. Never throws; does nothing
    // when nothing runs and may be repeated. Safe from any thread at any
    // moment, also while another thread works with the engine (the one
    // exception to the one-user rule).
    virtual void abortGeneration() = 0;
    // The loaded model's description; the empty record (loaded false)
    // without a model. Never throws; valid at any time after construction.
    virtual ModelInfo getModelInfo() = 0;
    // The current context's figures; all zero without a context. Never
    // throws; valid at any time after construction.
    virtual ContextStats getContextStats() = 0;

    // The fields of getContextStats().
    virtual int nPast();
    virtual int nCtx();
    // The most bytes of text whose tokens could still fit the context: the
    // context size times the longest token text of the vocabulary. A longer
    // text cannot fit and is refused before it is tokenized. SIZE_MAX when
    // the engine cannot tell (no vocabulary or no context).
    virtual size_t maxInputBytes();

    // Refused: "this engine does not support tokenizePrompt" / "... tokenizeText".
    virtual std::vector<int32_t> tokenizePrompt(const std::string& prompt, const TokenCallback& onToken = {});
    virtual std::vector<int32_t> tokenizeText(const std::string& text, bool addSpecial, bool parseSpecial);
    // Refused: "this engine does not support resetContext".
    virtual void resetContext(const ContextSettings& settings);
    // Refused: "this engine does not support saving KV state" (both) and
    // "this engine does not support restoring KV state".
    virtual uint64_t kvStateSize();
    virtual std::vector<uint8_t> saveKvState();
    virtual void restoreKvState(const std::vector<uint8_t>& state);
    // false / nothing / nothing.
    virtual bool isTurnOpen();
    virtual void setTurnOpen(bool open);
    virtual void setThinkingBudget(const ThinkingBudget& budget);
    // Refused: "this engine does not support GenerationInput generation".
    virtual bool startInputGeneration(const GenerationInput& input);
    // Refused: "this engine does not support text generation (startGeneration)".
    virtual bool startGeneration(const std::vector<int32_t>& promptTokens);
    // Refused: "this engine does not support resuming generation".
    virtual bool continueGeneration();
    // Refused: "this engine does not support sampling options".
    virtual void setSamplingOptions(const nlohmann::json& options);
    // Nothing / JSON null.
    virtual void resetSampler();
    virtual nlohmann::json getSamplingOptions();
    // false / false.
    virtual bool supportsImageInput();
    virtual bool supportsAudioInput();
    // Refused: "this engine does not support image or audio input".
    // Returns the number of prompt tokens decoded.
    virtual int32_t startMediaGeneration(const std::string& prompt, const std::vector<MediaInput>& media,
                                         int32_t maxAudioSeconds);
    // Refused: "this engine does not support text generation (fetchNextToken)"
    // and "... (fetchNextRawToken)".
    virtual bool fetchNextToken(std::string& piece);
    virtual bool fetchNextRawToken(RawToken& token);
    // Refused: "this engine does not support assembler generation (runWithAssembler)".
    virtual void runWithAssembler(ModelMessageAssembler& assembler, SnapshotCallback onSnapshot,
                                  MessageCallback onMessage);
    // Refused: "this engine does not support fetchNextEvent".
    virtual bool fetchNextEvent(GenerationEvent& event);
    // Refused: "this engine does not provide an input schema".
    virtual InputSchema getInputSchema();
    // A record with every number zero, every flag false, thinkClosedBy "none".
    virtual GenerationStats getGenerationStats();
    // JSON null.
    virtual nlohmann::json getCapabilities();
    // Refused: "this engine does not support label scoring (scoreLabels)".
    virtual ScoreRecord scoreLabels(const std::string& prompt, const std::vector<std::string>& labels);
    // null.
    virtual const DecisionModelInfo* getDecisionInfo();
    // Refused: "this engine does not support marker scoring (scoreMarkers)".
    virtual ScoreRecord scoreMarkers(const std::vector<int32_t>& tokens, const std::vector<int32_t>& markers,
                                     int32_t column);
    // Empty list.
    virtual std::vector<TensorInfo> listTensors(int32_t layer);

    // The store of the instance that owns the engine; not owned. Null in a new
    // engine; the instance sets it before loadModel and outlives the engine.
    FileStore* fileStore = nullptr;
    // The stop flag of the instance that owns the engine (abortRequested), or
    // null. Work that may take long outside a generation (tokenizing a big
    // text) reads it and gives up once it is set. Set like `fileStore`.
    const std::atomic<bool>* abortFlag = nullptr;
};
