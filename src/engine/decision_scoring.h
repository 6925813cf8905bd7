// Decision scoring: the question model of the decision endpoints, its
// validation, the two ways of scoring a question (labels on a chat model,
// mask markers on a decision model), the temperature and normalisation, and
// the JSON answer of one question.
//
// Failures: request errors are std::invalid_argument (a client error, answered
// 400); engine, layout and score-check failures are MivrelException (answered
// 500). Per-question messages begin with "questions.<name>: ".
//
// Thread-safety: the pure functions may be called from any thread. The judge
// functions use the engine they are given and REQUIRE that the caller holds
// the instance's claim.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/decision_model_info.h"
#include "engine/decision_prompt.h"

class MivrelEngine;
class LLMChatPromptRenderer;

// The kind of a question; its number is also the output column read on a
// decision model.
enum DecisionType : int32_t { kDecisionChoice = 0, kDecisionScore = 1, kDecisionNoul = 2 };

// "choice", "score", "noul"; "" for any other number.
std::string decisionTypeName(int32_t type);

struct DecisionQuestion {
    std::string name;                        // the question's key ("choice" on the choice endpoint)
    DecisionType type = kDecisionChoice;
    nlohmann::ordered_json instructions;     // never null after validation
    std::vector<std::pair<std::string, nlohmann::ordered_json>> options;  // key, description
};

struct DecisionResult {
    std::vector<double> probabilities;  // one per option, in option order
    int32_t inputTokens = 0;            // prompt tokens decoded, over all passes
    int32_t passes = 1;
    bool truncated = false;             // the marker layout cut tokens
    double temperature = 1.0;           // the temperature used
};
// The name the endpoints know the result record by.
using DecisionScore = DecisionResult;

// The questions of a systemone body, in the order of its "questions" members.
// Throws std::invalid_argument with the first failure's text.
std::vector<DecisionQuestion> validateDecisionRequest(const nlohmann::ordered_json& body, unsigned maxOptions);

// A JSON string's content; any other value its compact JSON text.
std::string jsonToText(const nlohmann::ordered_json& value);

// The user message that lists the options of `question` in the order `perm`
// under the letters A, B, ... (label scoring on a chat model).
std::string decisionLabelPrompt(const std::string& contextText, const DecisionQuestion& question,
                                const std::vector<size_t>& perm);

// Label scoring on a chat model: one pass, or two with `debias` (the second
// shows the options in reverse order) averaged. temperature <= 0 means 1.0.
// The engine's conversation is left as it was (scoreLabels restores it).
DecisionResult judgeQuestion(MivrelEngine& engine, const LLMChatPromptRenderer& renderer,
                             const std::string& contextText, const DecisionQuestion& question, double temperature,
                             bool debias, const std::string& logTag);

// Marker scoring on a decision model: one decode of the question's virl
// layout. temperature <= 0 means the model's entry for the type and option
// count. A laid-out prompt longer than nUbatch is std::invalid_argument.
DecisionResult judgeQuestionByMarkers(MivrelEngine& engine, const DecisionModelInfo& info,
                                      const DecisionPromptRenderer& renderer, const nlohmann::ordered_json& context,
                                      const DecisionQuestion& question, double temperature, int32_t nUbatch,
                                      const std::string& logTag);

// The name the endpoints know marker scoring by.
inline DecisionResult buildQuestionPrompt(MivrelEngine& engine, const DecisionModelInfo& info,
                                          const DecisionPromptRenderer& renderer,
                                          const nlohmann::ordered_json& context, const DecisionQuestion& question,
                                          double temperature, int32_t nUbatch, const std::string& logTag) {
    return judgeQuestionByMarkers(engine, info, renderer, context, question, temperature, nUbatch, logTag);
}

// Throws MivrelException BadInput unless `values` has `expected` entries, none NaN.
void checkDecisionScores(const std::vector<float>& values, size_t expected);

// The answer object of one question (insertion-ordered keys).
nlohmann::ordered_json decisionResultJson(const DecisionQuestion& question, const std::vector<double>& probabilities);
inline nlohmann::ordered_json decisionResultJson(const DecisionQuestion& question, const DecisionResult& result) {
    return decisionResultJson(question, result.probabilities);
}

// exp((v - max) / temperature), normalised; computed in doubles.
std::vector<double> softmaxWithTemperature(const std::vector<float>& values, double temperature);

// The model's temperature for a question type and option count: the entry
// "<type>.<bucket>" (buckets 2, 3_5, 6_10, 11), else "<type>", else 1.0.
float lookupDecisionTemperature(const DecisionModelInfo& info, const std::string& typeName, unsigned optionCount);

// The index of the largest value; the first of equal ones. 0 when empty.
size_t decisionBestIndex(const std::vector<double>& probabilities);
