// Decision prompts: the text a decision model is asked one question in, and
// the token layout that fits the question and its options into the model's
// budget and says where each option's mask token ended up.
//
// There is one layout, "virl": the classification prefix, the question type
// and text, a separator, every option behind a mask token, a separator, the
// context and a final separator, all taken from the model's own template
// pieces (DecisionModelInfo).
//
// Thread-safety: renderers hold no state; one object may render any number
// of questions, and distinct objects may be used from distinct threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/decision_model_info.h"

// One question as the renderer receives it. Options keep the request's order.
struct DecisionPromptInput {
    std::string type;                   // "choice", "score" or "noul"
    nlohmann::ordered_json instructions;
    nlohmann::ordered_json context;     // null when the request has none
    std::vector<std::pair<std::string, nlohmann::ordered_json>> options;
};

// Where the scores of one question are read.
struct DecisionLayout {
    std::vector<int32_t> tokens;
    std::vector<int32_t> markers;  // position in `tokens` of each option's mask token
    int32_t column = 0;            // set by the scorer to the question type's number
    bool truncated = false;        // `tokens` is shorter than the tokenized prompt
};

class DecisionPromptRenderer {
public:
    DecisionPromptRenderer() = default;
    DecisionPromptRenderer(const DecisionPromptRenderer&) = delete;
    DecisionPromptRenderer& operator=(const DecisionPromptRenderer&) = delete;
    virtual ~DecisionPromptRenderer() = default;

    // The prompt text of one question. Throws the JSON library's error when a
    // value holds invalid UTF-8; nothing else.
    virtual std::string renderQuestion(const DecisionPromptInput& question, const DecisionModelInfo& info) const = 0;
    // Checks and cuts the tokenized prompt (tokenized without added special
    // tokens, special texts parsed) for `choices` options. Throws
    // MivrelException BadInput when the tokens are not laid out as rendered.
    virtual DecisionLayout layoutTokens(const std::vector<int32_t>& tokens, size_t choices,
                                        const DecisionModelInfo& info) const = 0;
};

class VirlPromptRenderer : public DecisionPromptRenderer {
public:
    std::string renderQuestion(const DecisionPromptInput& question, const DecisionModelInfo& info) const override;
    DecisionLayout layoutTokens(const std::vector<int32_t>& tokens, size_t choices,
                                const DecisionModelInfo& info) const override;
};

// The renderer for a model's decision type: a VirlPromptRenderer for exactly
// "virl"; null (after a level-2 log line) for any other type.
std::unique_ptr<DecisionPromptRenderer> createDecisionPromptRenderer(const std::string& type);

// A value as prompt text: a string's content as it stands; anything else its
// spaced JSON text with object members in their stored order.
std::string decisionValueText(const nlohmann::ordered_json& value);
// Whether a value counts as given: null, empty strings, objects and arrays,
// false and 0 do not.
bool decisionValueTruthy(const nlohmann::ordered_json& value);
// `value` with every occurrence of `maskText` in its strings (object keys
// excepted) replaced by one blank. An empty maskText replaces nothing.
nlohmann::ordered_json scrubMaskText(const nlohmann::ordered_json& value, const std::string& maskText);
std::string scrubMaskText(const std::string& text, const std::string& maskText);
