// MivrelDecisionEngine: the engine of decision models (familyType
// "DECISION"): bert-style classifiers that answer a question by the output
// rows at the mask token in front of every option. It generates no text;
// every chat operation keeps the interface's refusal.
//
// Beyond its base it reads and checks the model's decision metadata when the
// model loads (getDecisionInfo), switches the context to per-token embedding
// output, and scores one prepared token list per call (scoreMarkers).
//
// Thread-safety: REQUIRES external synchronization (the instance's claim);
// abortGeneration does nothing, since a scoring decode cannot be interrupted.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/decision_model_info.h"
#include "engine/mivrel_llama_engine.h"

class MivrelDecisionEngine : public MivrelLlamaEngine {
public:
    MivrelDecisionEngine() = default;
    ~MivrelDecisionEngine() override;

    // The base load, then the decision metadata, checked against
    // settings.assembler as the expected decision type. Any failure throws
    // (MivrelException LoadFailed for the metadata) and leaves no model loaded.
    void loadModel(const ModelLoadSettings& settings) override;
    // The base unload; the decision metadata is forgotten. Never throws.
    void unloadModel() override;
    void abortGeneration() override {}

    // The metadata of the loaded model, or null. Valid until the next
    // loadModel, unloadModel or the engine's end.
    const DecisionModelInfo* getDecisionInfo() override;

    // Decodes `tokens` as one sequence in one batch and returns, for every
    // marker position in order, the output row's value in `column`. The
    // context's memory is empty before and after, also on failure. Throws
    // MivrelException: NotLoaded no model, RuntimeFailed no context or a failed
    // decode, BadInput no metadata, a bad column or marker, LimitExceeded empty input or more tokens than one
    // batch holds.
    ScoreRecord scoreMarkers(const std::vector<int32_t>& tokens, const std::vector<int32_t>& markers,
                             int32_t column) override;

    // Embedding output for every token of one sequence without pooling, and
    // one batch equal to one micro-batch (a non-causal model must see the
    // whole prompt at once).
    void adjustContextParams(llama_context_params& params) override;
    void onContextCreated() override {}

private:
    // Reads the decision metadata of the loaded model; throws
    // MivrelException LoadFailed and leaves `info_` untouched on failure.
    DecisionModelInfo readDecisionInfo(const std::string& expectedType) const;

    bool infoLoaded_ = false;
    DecisionModelInfo info_;
};
