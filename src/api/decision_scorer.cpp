#include "api/decision_scorer.h"

#include <algorithm>

#include "engine/mivrel.h"
#include "engine/mivrel_engine.h"
#include "prompt/chat_prompt_renderer.h"

DecisionScorer::DecisionScorer() = default;
DecisionScorer::~DecisionScorer() = default;

std::string prepareDecisionScorerOrError(DecisionScorer& scorer, Mivrel& mivrel) {
    scorer.mivrel = &mivrel;
    if (mivrel.config.familyType != "DECISION") {
        scorer.isDecision = false;
        scorer.chatRenderer = createChatPromptRenderer(mivrel.config.loadSettings.assembler);
        // Scoring replaces what the context held after the last reply's
        // tokens, so that reply can no longer be resumed.
        mivrel.openResponseId.clear();
        mivrel.openPhase.clear();
        return "";
    }
    scorer.isDecision = true;
    scorer.decisionInfo = mivrel.engine->getDecisionInfo();
    if (!scorer.decisionInfo) return "Decision model info is not loaded";
    scorer.decisionRenderer = createDecisionPromptRenderer(scorer.decisionInfo->type);
    if (!scorer.decisionRenderer) return "Unsupported decision type: " + scorer.decisionInfo->type;
    return "";
}

bool prepareDecisionScorer(DecisionScorer& scorer, HttpRequestHandler& handler, Response& response, Mivrel& mivrel) {
    const std::string error = prepareDecisionScorerOrError(scorer, mivrel);
    if (error.empty()) return true;
    sendJsonError(handler, response, 500, "internal_error", error);
    return false;
}

DecisionScore DecisionScorer::scoreQuestion(const nlohmann::ordered_json& input, const DecisionQuestion& question,
                                            double temperature, bool debias, const std::string& tag) {
    MivrelEngine& engine = *mivrel->engine;
    DecisionScore score;
    // The scoring decodes run on the instance's engine thread, where its
    // chat replies are decoded too (engine_thread.h).
    mivrel->engineThread.run([&] {
        if (isDecision) {
            // The whole prompt must fit one micro-batch of the live context:
            // the library uses the smaller of n_batch and n_ubatch, and a
            // decision model has no positions past its context.
            const ContextSettings& cs = mivrel->config.contextSettings;
            int32_t limit = std::min(cs.nUbatch, cs.nBatch);
            if (engine.nCtx() > 0) limit = std::min(limit, static_cast<int32_t>(engine.nCtx()));
            score = buildQuestionPrompt(engine, *decisionInfo, *decisionRenderer, input, question, temperature, limit,
                                        tag);
        } else {
            score = judgeQuestion(engine, *chatRenderer, jsonToText(input), question, temperature, debias, tag);
        }
    });
    return score;
}

std::string DecisionScorer::methodLabel() const { return isDecision ? decisionInfo->type : "llm_label"; }
