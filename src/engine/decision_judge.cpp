// The two ways of scoring one decision question: letter labels after a chat
// prompt, and mask markers of a decision model's layout.
#include <stdexcept>

#include "base/logger.h"
#include "engine/decision_scoring.h"
#include "engine/mivrel_engine.h"
#include "engine/mivrel_exception.h"
#include "prompt/chat_prompt_renderer.h"

using ojson = nlohmann::ordered_json;

namespace {

constexpr size_t kMaxLabels = 26;

bool described(const ojson& value) {
    return !value.is_null() && !(value.is_string() && value.get_ref<const std::string&>().empty());
}

}  // namespace

std::string decisionLabelPrompt(const std::string& contextText, const DecisionQuestion& question,
                                const std::vector<size_t>& perm) {
    std::string text = jsonToText(question.instructions) + "\n\n" + contextText + "\n\nOptions:\n";
    for (size_t i = 0; i < perm.size(); ++i) {
        const auto& [key, value] = question.options[perm[i]];
        std::string body;
        if (question.type == kDecisionScore) {
            body = "level " + key;
            if (described(value)) body += ": " + jsonToText(value);
        } else if (question.type == kDecisionNoul) {
            if (described(value)) body = jsonToText(value);
            else body = key == "true" ? "Yes, the statement holds" : "No, the statement does not hold";
        } else {
            body = key;
            if (described(value)) body += ": " + jsonToText(value);
        }
        text += static_cast<char>('A' + i);
        text += ". " + body + "\n";
    }
    text += "\nAnswer with the letter of the best option only.";
    return text;
}

DecisionResult judgeQuestion(MivrelEngine& engine, const LLMChatPromptRenderer& renderer,
                             const std::string& contextText, const DecisionQuestion& question, double temperature,
                             bool debias, const std::string& logTag) {
    const size_t n = question.options.size();
    if (n > kMaxLabels) {
        throw std::invalid_argument("questions." + question.name + ": too many options (" + std::to_string(n) +
                                    "), this Mivrel supports at most " + std::to_string(kMaxLabels));
    }
    std::vector<std::string> labels;
    for (size_t i = 0; i < n; ++i) labels.emplace_back(1, static_cast<char>('A' + i));
    std::vector<size_t> order;
    if (question.type == kDecisionNoul && n == 2) {
        order = {1, 0};
    } else {
        for (size_t i = 0; i < n; ++i) order.push_back(i);
    }

    DecisionResult result;
    result.probabilities.assign(n, 0.0);
    result.passes = debias && n > 1 ? 2 : 1;
    result.temperature = temperature > 0.0 ? temperature : 1.0;

    RenderOptions options;
    options.think = 0;
    options.noThinking = true;
    for (int32_t pass = 0; pass < result.passes; ++pass) {
        const std::vector<size_t> perm = pass == 0 ? order : std::vector<size_t>(order.rbegin(), order.rend());
        MessageList messages;
        messages.push_back({{"role", "user"}, {"content", decisionLabelPrompt(contextText, question, perm)}});
        const std::string prompt = renderer.render(messages, options);
        logMessage(9, "[%s] 라벨 판정 pass %d (question=%s) rawPrompt:", logTag.c_str(), pass + 1,
                   question.name.c_str());
        logMessage(7, "%s", prompt.c_str());
        const ScoreRecord scores = engine.scoreLabels(prompt, labels);
        checkDecisionScores(scores.values, n);
        result.inputTokens += scores.promptTokens;
        const std::vector<double> probs = softmaxWithTemperature(scores.values, result.temperature);
        for (size_t j = 0; j < n; ++j) result.probabilities[perm[j]] += probs[j] / result.passes;
    }
    return result;
}

DecisionResult judgeQuestionByMarkers(MivrelEngine& engine, const DecisionModelInfo& info,
                                      const DecisionPromptRenderer& renderer, const ojson& context,
                                      const DecisionQuestion& question, double temperature, int32_t nUbatch,
                                      const std::string& logTag) {
    const std::string typeName = decisionTypeName(question.type);
    DecisionPromptInput input{typeName, question.instructions, context, question.options};
    const std::string prompt = renderer.renderQuestion(input, info);
    logMessage(9, "[%s] %s 판정 프롬프트 (question=%s):", logTag.c_str(), info.type.c_str(), question.name.c_str());
    logMessage(7, "%s", prompt.c_str());

    const std::vector<int32_t> tokens = engine.tokenizeText(prompt, false, true);
    DecisionLayout layout = renderer.layoutTokens(tokens, question.options.size(), info);
    if (layout.tokens.size() > static_cast<size_t>(nUbatch < 0 ? 0 : nUbatch)) {
        throw std::invalid_argument("prompt is too long: " + std::to_string(layout.tokens.size()) +
                                    " tokens > n_ubatch " + std::to_string(nUbatch));
    }
    layout.column = question.type;
    const ScoreRecord scores = engine.scoreMarkers(layout.tokens, layout.markers, layout.column);
    checkDecisionScores(scores.values, question.options.size());

    DecisionResult result;
    result.temperature = temperature > 0.0
                             ? temperature
                             : static_cast<double>(lookupDecisionTemperature(
                                   info, typeName, static_cast<unsigned>(question.options.size())));
    result.probabilities = softmaxWithTemperature(scores.values, result.temperature);
    result.inputTokens = scores.promptTokens;
    result.passes = 1;
    result.truncated = layout.truncated;
    return result;
}
