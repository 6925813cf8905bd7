// The per-request scorer of the decision endpoints (choice, systemone): it
// picks the prompt renderer that fits the instance and sends every question
// to the scoring routine of the instance's kind, labels on a chat model or
// mask markers on a decision model (engine/decision_scoring.h).
//
// Used on the request's connection thread only, while the request holds the
// instance's claim; the scorer owns its renderers and is destroyed before the
// claim is released.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/decision_scoring.h"
#include "net/http_request_handler.h"

class Mivrel;
class LLMChatPromptRenderer;

class DecisionScorer {
public:
    DecisionScorer();
    ~DecisionScorer();
    DecisionScorer(const DecisionScorer&) = delete;
    DecisionScorer& operator=(const DecisionScorer&) = delete;

    // Scores one question on `input` (the request's query or state).
    // temperature 0 means the routine's default; debias only matters on a chat
    // instance. Throws std::invalid_argument for a question that cannot be
    // scored (a client error) and MivrelException for an engine failure.
    // REQUIRES: prepareDecisionScorer returned true.
    DecisionScore scoreQuestion(const nlohmann::ordered_json& input, const DecisionQuestion& question,
                                double temperature, bool debias, const std::string& tag);

    // "llm_label" on a chat instance, the model's decision type otherwise.
    std::string methodLabel() const;

    Mivrel* mivrel = nullptr;  // not owned
    bool isDecision = false;
    const DecisionModelInfo* decisionInfo = nullptr;  // not owned; decision instances only
    std::unique_ptr<DecisionPromptRenderer> decisionRenderer;
    std::unique_ptr<LLMChatPromptRenderer> chatRenderer;
};

// Fills `scorer` for the claimed, loaded instance; returns "" when it is
// ready, else the message of the 500 "internal_error" to answer. A chat
// instance gets the renderer of its assembler key and forgets its resumable
// response. REQUIRES: as prepareDecisionScorer.
std::string prepareDecisionScorerOrError(DecisionScorer& scorer, Mivrel& mivrel);

// Fills `scorer` for the claimed, loaded instance. A chat instance gets the
// renderer of its assembler key and forgets its resumable response. Returns
// false after answering 500 "internal_error" when a decision engine has no
// decision metadata or its decision type has no prompt layout.
// REQUIRES: the caller holds the instance's claim and an engine is installed.
bool prepareDecisionScorer(DecisionScorer& scorer, HttpRequestHandler& handler, Response& response, Mivrel& mivrel);
