// Label scoring of decision questions on the kit's chat model: one pass and
// the debiasing second pass, the noul order, the option limit, the score
// checks, and a conversation that goes on unchanged after a question.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/decision_scoring.h"
#include "engine/mivrel_exception.h"
#include "llm_test_util.h"
#include "prompt/chat_prompt_renderer.h"

namespace {

using namespace llmtest;
using namespace testmodels;
using ojson = nlohmann::ordered_json;

DecisionQuestion question(DecisionType type, std::vector<std::pair<std::string, ojson>> options) {
    DecisionQuestion q;
    q.name = "q";
    q.type = type;
    q.instructions = "Pick one";
    q.options = std::move(options);
    return q;
}

std::string renderedLabelPrompt(const LLMChatPromptRenderer& renderer, const std::string& context,
                                const DecisionQuestion& q, const std::vector<size_t>& perm) {
    RenderOptions options;
    options.think = 0;
    options.noThinking = true;
    MessageList messages;
    messages.push_back({{"role", "user"}, {"content", decisionLabelPrompt(context, q, perm)}});
    return renderer.render(messages, options);
}

std::vector<std::string> letters(size_t n) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) out.emplace_back(1, static_cast<char>('A' + i));
    return out;
}

TEST(DecisionJudgeTest, OnePassIsTheSoftmaxOfTheLabelScores) {
    auto engine = loadedEngine(kTinyChatFile);
    auto renderer = createChatPromptRenderer("qwen3");
    const DecisionQuestion q = question(kDecisionChoice, {{"umbrella", nullptr}, {"hat", "keeps sun off"}, {"coat", nullptr}});

    const DecisionResult r = judgeQuestion(*engine, *renderer, "a rainy day", q, 0.0, false, "POST /v1/choice");
    EXPECT_EQ(r.passes, 1);
    EXPECT_DOUBLE_EQ(r.temperature, 1.0);
    EXPECT_FALSE(r.truncated);

    const std::string prompt = renderedLabelPrompt(*renderer, "a rainy day", q, {0, 1, 2});
    const ScoreRecord direct = engine->scoreLabels(prompt, letters(3));
    EXPECT_EQ(r.inputTokens, direct.promptTokens);
    const std::vector<double> expected = softmaxWithTemperature(direct.values, 1.0);
    ASSERT_EQ(r.probabilities.size(), 3u);
    double sum = 0.0;
    for (size_t j = 0; j < 3; ++j) {
        EXPECT_NEAR(r.probabilities[j], expected[j], 1e-12);
        sum += r.probabilities[j];
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);

    const DecisionResult warm = judgeQuestion(*engine, *renderer, "a rainy day", q, 2.5, false, "t");
    EXPECT_DOUBLE_EQ(warm.temperature, 2.5);
    EXPECT_NEAR(warm.probabilities[0], softmaxWithTemperature(direct.values, 2.5)[0], 1e-12);
}

TEST(DecisionJudgeTest, DebiasAveragesAReversedSecondPass) {
    auto engine = loadedEngine(kTinyChatFile);
    auto renderer = createChatPromptRenderer("qwen3");
    const DecisionQuestion q = question(kDecisionChoice, {{"a", nullptr}, {"b", nullptr}, {"c", nullptr}});

    const DecisionResult r = judgeQuestion(*engine, *renderer, "ctx", q, 0.0, true, "t");
    EXPECT_EQ(r.passes, 2);
    const ScoreRecord forward = engine->scoreLabels(renderedLabelPrompt(*renderer, "ctx", q, {0, 1, 2}), letters(3));
    const ScoreRecord reverse = engine->scoreLabels(renderedLabelPrompt(*renderer, "ctx", q, {2, 1, 0}), letters(3));
    EXPECT_EQ(r.inputTokens, forward.promptTokens + reverse.promptTokens);
    const std::vector<double> p0 = softmaxWithTemperature(forward.values, 1.0);
    const std::vector<double> p1 = softmaxWithTemperature(reverse.values, 1.0);
    // Pass 1 shows option 2 under A, 1 under B, 0 under C.
    EXPECT_NEAR(r.probabilities[0], (p0[0] + p1[2]) / 2, 1e-12);
    EXPECT_NEAR(r.probabilities[1], (p0[1] + p1[1]) / 2, 1e-12);
    EXPECT_NEAR(r.probabilities[2], (p0[2] + p1[0]) / 2, 1e-12);
    EXPECT_NEAR(r.probabilities[0] + r.probabilities[1] + r.probabilities[2], 1.0, 1e-12);

    // One option leaves nothing to debias.
    const DecisionResult single = judgeQuestion(*engine, *renderer, "ctx", question(kDecisionChoice, {{"a", nullptr}}),
                                                0.0, true, "t");
    EXPECT_EQ(single.passes, 1);
    EXPECT_DOUBLE_EQ(single.probabilities[0], 1.0);
}

TEST(DecisionJudgeTest, NoulShowsTrueUnderA) {
    auto engine = loadedEngine(kTinyChatFile);
    auto renderer = createChatPromptRenderer("qwen3");
    const DecisionQuestion q = question(kDecisionNoul, {{"false", nullptr}, {"true", nullptr}});
    const DecisionResult r = judgeQuestion(*engine, *renderer, "ctx", q, 0.0, false, "t");
    const std::vector<double> p =
        softmaxWithTemperature(engine->scoreLabels(renderedLabelPrompt(*renderer, "ctx", q, {1, 0}), letters(2)).values, 1.0);
    EXPECT_NEAR(r.probabilities[1], p[0], 1e-12);  // "true" is option 1 and label A
    EXPECT_NEAR(r.probabilities[0], p[1], 1e-12);
}

TEST(DecisionJudgeTest, MoreThanTwentySixOptionsAreAClientError) {
    auto engine = loadedEngine(kTinyChatFile);
    auto renderer = createChatPromptRenderer("default");
    std::vector<std::pair<std::string, ojson>> options;
    for (int i = 0; i < 27; ++i) options.emplace_back("o" + std::to_string(i), nullptr);
    try {
        judgeQuestion(*engine, *renderer, "ctx", question(kDecisionChoice, options), 0.0, false, "t");
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "questions.q: too many options (27), this Mivrel supports at most 26");
    }
    options.pop_back();
    EXPECT_EQ(judgeQuestion(*engine, *renderer, "ctx", question(kDecisionChoice, options), 0.0, false, "t")
                  .probabilities.size(),
              26u);
}

// Label scores as a test asks for them.
class ScriptedScores : public MivrelEngine {
public:
    explicit ScriptedScores(std::vector<float> values) : values_(std::move(values)) {}
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings&) override {}
    void abortGeneration() override {}
    ModelInfo getModelInfo() override { return {}; }
    ContextStats getContextStats() override { return {}; }
    ScoreRecord scoreLabels(const std::string&, const std::vector<std::string>&) override {
        return ScoreRecord{values_, 7};
    }

private:
    std::vector<float> values_;
};

TEST(DecisionJudgeTest, ScoresThatDoNotFitFailTheQuestion) {
    auto renderer = createChatPromptRenderer("default");
    const DecisionQuestion q = question(kDecisionChoice, {{"a", nullptr}, {"b", nullptr}});
    struct Case {
        std::vector<float> values;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{
             {{1.0f}, "decision result does not match the number of options (1 != 2)"},
             {{1.0f, std::numeric_limits<float>::quiet_NaN()}, "the model could not evaluate the decision"}}) {
        ScriptedScores engine(c.values);
        try {
            judgeQuestion(engine, *renderer, "ctx", q, 0.0, false, "t");
            ADD_FAILURE() << "no exception";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_EQ(e.message, c.message);
        }
    }
    // Equal scores give equal probabilities, and the first option wins the tie.
    ScriptedScores even({2.0f, 2.0f});
    const DecisionResult r = judgeQuestion(even, *renderer, "ctx", q, 0.0, false, "t");
    EXPECT_DOUBLE_EQ(r.probabilities[0], r.probabilities[1]);
    EXPECT_EQ(decisionBestIndex(r.probabilities), 0u);
    EXPECT_EQ(decisionResultJson(q, r)["choice"], "a");
}

TEST(DecisionJudgeTest, AQuestionInTheMiddleOfAConversationLeavesItsNextReplyUnchanged) {
    auto asked = loadedEngine(kTinyChatFile);
    auto plain = loadedEngine(kTinyChatFile);
    auto renderer = createChatPromptRenderer("qwen3");
    for (MivrelLLMEngine* e : {asked.get(), plain.get()}) {
        e->setSamplingOptions({{"seed", 21}, {"max_tokens", 8}});
        e->startGeneration(e->tokenizeText("Tell me about the weather", true, true));
        e->setTurnOpen(true);
        pullAll(*e);
    }
    const std::vector<uint8_t> before = asked->saveKvState();
    const int32_t past = asked->nPast();

    judgeQuestion(*asked, *renderer, "a rainy day",
                  question(kDecisionChoice, {{"umbrella", nullptr}, {"hat", nullptr}}), 0.0, true, "POST /v1/choice");
    EXPECT_EQ(asked->nPast(), past);
    EXPECT_TRUE(asked->isTurnOpen());
    EXPECT_EQ(asked->saveKvState(), before);

    for (MivrelLLMEngine* e : {asked.get(), plain.get()}) {
        e->continueGeneration();
        e->setSamplingOptions({{"seed", 4}, {"max_tokens", 12}});
    }
    const std::string next = joined(pullAll(*asked));
    EXPECT_FALSE(next.empty());
    EXPECT_EQ(next, joined(pullAll(*plain)));
}

}  // namespace
