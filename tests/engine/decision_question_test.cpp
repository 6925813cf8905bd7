// Validation of decision requests, the label prompt, the softmax with its
// temperature buckets, the score checks and the answer documents, without a
// model.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "engine/decision_scoring.h"
#include "engine/mivrel_exception.h"

namespace {

using ojson = nlohmann::ordered_json;

std::string refusal(const ojson& body, unsigned maxOptions = 26) {
    try {
        validateDecisionRequest(body, maxOptions);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(accepted)";
}

ojson withQuestion(const ojson& q) { return ojson{{"questions", ojson{{"q1", q}}}}; }

ojson manyChoices(size_t n) {
    ojson criteria = ojson::object();
    for (size_t i = 0; i < n; ++i) criteria["c" + std::to_string(i)] = nullptr;
    return criteria;
}

TEST(DecisionValidationTest, RefusesEachFaultWithItsMessage) {
    const std::string questionsMessage = "\"questions\" must be a non-empty object";
    struct Case {
        const char* what;
        ojson body;
        unsigned maxOptions;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no questions", ojson::object(), 26, questionsMessage},
        {"empty questions", ojson{{"questions", ojson::object()}}, 26, questionsMessage},
        {"questions as an array", ojson{{"questions", ojson::array({1})}}, 26, questionsMessage},
        {"body not an object", ojson::array(), 26, questionsMessage},
        {"question not an object", withQuestion(3), 26, "questions.q1: must be an object"},
        {"no instructions", withQuestion({{"type", "choice"}, {"criteria", {{"a", 1}}}}), 26,
         "questions.q1: \"instructions\" must be provided"},
        {"null instructions", withQuestion({{"instructions", nullptr}, {"type", "noul"}}), 26,
         "questions.q1: \"instructions\" must be provided"},
        {"no type", withQuestion({{"instructions", "i"}, {"criteria", {{"a", 1}}}}), 26,
         "questions.q1: \"type\" must be one of: choice, score, noul"},
        {"type not a string", withQuestion({{"instructions", "i"}, {"type", 0}}), 26,
         "questions.q1: \"type\" must be one of: choice, score, noul"},
        {"choice without criteria", withQuestion({{"instructions", "i"}, {"type", "choice"}}), 26,
         "questions.q1: \"criteria\" must be a non-empty object"},
        {"choice with empty criteria", withQuestion({{"instructions", "i"}, {"type", "choice"}, {"criteria", ojson::object()}}),
         26, "questions.q1: \"criteria\" must be a non-empty object"},
        {"score with 1 level", withQuestion({{"instructions", "i"}, {"type", "score"}, {"criteria", {"a"}}}), 26,
         "questions.q1: \"criteria\" must be an array of 2 to 10 levels"},
        {"score with 11 levels",
         withQuestion({{"instructions", "i"}, {"type", "score"}, {"criteria", std::vector<int>(11, 0)}}), 26,
         "questions.q1: \"criteria\" must be an array of 2 to 10 levels"},
        {"noul with an array", withQuestion({{"instructions", "i"}, {"type", "noul"}, {"criteria", {1, 2}}}), 26,
         "questions.q1: \"criteria\" must be an object"},
        {"27 options on a chat instance", withQuestion({{"instructions", "i"}, {"type", "choice"}, {"criteria", manyChoices(27)}}),
         26, "questions.q1: too many options (27), this Mivrel supports at most 26"},
        {"256 options on a decision instance",
         withQuestion({{"instructions", "i"}, {"type", "choice"}, {"criteria", manyChoices(256)}}), 255,
         "questions.q1: too many options (256), this Mivrel supports at most 255"},
        {"255 options on a decision instance",
         withQuestion({{"instructions", "i"}, {"type", "choice"}, {"criteria", manyChoices(255)}}), 255, "(accepted)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(refusal(c.body, c.maxOptions), c.message);
    }
}

TEST(DecisionValidationTest, BuildsOptionsPerTypeInRequestOrder) {
    const ojson body = ojson::parse(R"({"questions": {
        "zeta": {"instructions": {}, "type": "choice", "criteria": {"umbrella": null, "hat": "keeps sun off"}},
        "alpha": {"instructions": "rate", "type": "score", "criteria": ["bad", "ok", "good", "great", "a", "b", "c", "d", "e", "f"]},
        "mid": {"instructions": "holds?", "type": "noul"},
        "mid2": {"instructions": "holds?", "type": "noul", "criteria": {"true": "yes it does"}}
    }})");
    const std::vector<DecisionQuestion> qs = validateDecisionRequest(body, 26);
    ASSERT_EQ(qs.size(), 4u);
    EXPECT_EQ(qs[0].name, "zeta");
    EXPECT_EQ(qs[0].type, kDecisionChoice);
    EXPECT_EQ(qs[0].instructions, ojson::object());
    ASSERT_EQ(qs[0].options.size(), 2u);
    EXPECT_EQ(qs[0].options[0].first, "umbrella");
    EXPECT_EQ(qs[0].options[1].first, "hat");
    EXPECT_EQ(qs[0].options[1].second, "keeps sun off");
    EXPECT_EQ(qs[1].type, kDecisionScore);
    ASSERT_EQ(qs[1].options.size(), 10u);
    EXPECT_EQ(qs[1].options[0].first, "0");
    EXPECT_EQ(qs[1].options[9].first, "9");
    EXPECT_EQ(qs[1].options[9].second, "f");
    EXPECT_EQ(qs[2].type, kDecisionNoul);
    ASSERT_EQ(qs[2].options.size(), 2u);
    EXPECT_EQ(qs[2].options[0], (std::pair<std::string, ojson>{"false", nullptr}));
    EXPECT_EQ(qs[2].options[1], (std::pair<std::string, ojson>{"true", nullptr}));
    EXPECT_EQ(qs[3].options[1].second, "yes it does");
    EXPECT_EQ(decisionTypeName(kDecisionChoice), "choice");
    EXPECT_EQ(decisionTypeName(kDecisionScore), "score");
    EXPECT_EQ(decisionTypeName(kDecisionNoul), "noul");
    EXPECT_EQ(decisionTypeName(3), "");
}

DecisionQuestion choiceQuestion(std::vector<std::pair<std::string, ojson>> options) {
    DecisionQuestion q;
    q.name = "choice";
    q.type = kDecisionChoice;
    q.instructions = "Pick one";
    q.options = std::move(options);
    return q;
}

TEST(DecisionLabelPromptTest, ListsOptionsUnderLettersPerType) {
    const DecisionQuestion choice = choiceQuestion({{"umbrella", nullptr}, {"hat", "keeps sun off"}});
    EXPECT_EQ(decisionLabelPrompt("a rainy day", choice, {0, 1}),
              "Pick one\n\na rainy day\n\nOptions:\nA. umbrella\nB. hat: keeps sun off\n\nAnswer with the letter of "
              "the best option only.");
    EXPECT_EQ(decisionLabelPrompt("c", choice, {1, 0}),
              "Pick one\n\nc\n\nOptions:\nA. hat: keeps sun off\nB. umbrella\n\nAnswer with the letter of the best "
              "option only.");

    DecisionQuestion score = choiceQuestion({{"0", ""}, {"1", false}, {"2", ojson{{"b", 1}, {"a", 2}}}});
    score.type = kDecisionScore;
    score.instructions = ojson::object();
    EXPECT_EQ(decisionLabelPrompt("c", score, {0, 1, 2}),
              "{}\n\nc\n\nOptions:\nA. level 0\nB. level 1: false\nC. level 2: {\"b\":1,\"a\":2}\n\nAnswer with the "
              "letter of the best option only.");

    DecisionQuestion noul = choiceQuestion({{"false", nullptr}, {"true", nullptr}});
    noul.type = kDecisionNoul;
    EXPECT_EQ(decisionLabelPrompt("c", noul, {1, 0}),
              "Pick one\n\nc\n\nOptions:\nA. Yes, the statement holds\nB. No, the statement does not hold\n\nAnswer "
              "with the letter of the best option only.");
}

TEST(DecisionMathTest, SoftmaxFollowsTheTemperature) {
    EXPECT_TRUE(softmaxWithTemperature({}, 1.0).empty());
    const std::vector<double> even = softmaxWithTemperature({3.0f, 3.0f}, 1.0);
    EXPECT_DOUBLE_EQ(even[0], 0.5);
    EXPECT_DOUBLE_EQ(even[1], 0.5);
    const std::vector<double> p = softmaxWithTemperature({1.0f, 0.0f}, 1.0);
    EXPECT_NEAR(p[0], std::exp(1.0) / (std::exp(1.0) + 1.0), 1e-12);
    const std::vector<double> cold = softmaxWithTemperature({1.0f, 0.0f}, 0.5);
    EXPECT_NEAR(cold[0], std::exp(2.0) / (std::exp(2.0) + 1.0), 1e-12);
    // Large values do not overflow: the largest is subtracted first.
    const std::vector<double> big = softmaxWithTemperature({1000.0f, 999.0f, -1000.0f}, 1.0);
    EXPECT_NEAR(big[0] + big[1] + big[2], 1.0, 1e-12);
    EXPECT_GT(big[0], big[1]);
}

TEST(DecisionMathTest, TemperatureBucketsThenTypeThenOne) {
    DecisionModelInfo info;
    info.temperatures = {{"choice", 0.5f}, {"choice.3_5", 0.25f}, {"score.6_10", 3.0f}, {"noul.11", 7.0f}};
    struct Case {
        const char* type;
        unsigned options;
        float expected;
    };
    for (const Case& c : std::vector<Case>{{"choice", 4, 0.25f},
                                           {"choice", 2, 0.5f},
                                           {"choice", 5, 0.25f},
                                           {"choice", 6, 0.5f},
                                           {"score", 10, 3.0f},
                                           {"score", 11, 1.0f},
                                           {"noul", 12, 7.0f},
                                           {"noul", 2, 1.0f}}) {
        SCOPED_TRACE(std::string(c.type) + " " + std::to_string(c.options));
        EXPECT_FLOAT_EQ(lookupDecisionTemperature(info, c.type, c.options), c.expected);
    }
}

TEST(DecisionMathTest, ScoreChecksRefuseWrongCountsAndNonNumbers) {
    EXPECT_NO_THROW(checkDecisionScores({1.0f, -2.0f}, 2));
    try {
        checkDecisionScores({1.0f}, 2);
        ADD_FAILURE();
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
        EXPECT_EQ(e.message, "decision result does not match the number of options (1 != 2)");
    }
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        try {
            checkDecisionScores({1.0f, bad}, 2);
            ADD_FAILURE();
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_EQ(e.message, "the model could not evaluate the decision");
        }
    }
}

TEST(DecisionResultJsonTest, ChoiceAnswersTheFirstBestWithRescaledConfidence) {
    const DecisionQuestion q = choiceQuestion({{"a", nullptr}, {"b", nullptr}, {"c", nullptr}});
    const ojson tie = decisionResultJson(q, {0.4, 0.4, 0.2});
    ojson withoutConfidence = tie;
    withoutConfidence.erase("confidence");
    EXPECT_EQ(withoutConfidence.dump(), R"({"type":"choice","choice":"a","probabilities":{"a":0.4,"b":0.4,"c":0.2}})");
    EXPECT_EQ(std::prev(tie.end()).key(), "confidence");
    EXPECT_NEAR(tie["confidence"].get<double>(), (0.4 - 1.0 / 3) / (1 - 1.0 / 3), 1e-12);
    EXPECT_DOUBLE_EQ(decisionResultJson(q, {1.0 / 3, 1.0 / 3, 1.0 / 3})["confidence"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(decisionResultJson(q, {0.0, 1.0, 0.0})["confidence"].get<double>(), 1.0);
    EXPECT_EQ(decisionResultJson(q, {0.0, 1.0, 0.0})["choice"], "b");
    const ojson one = decisionResultJson(choiceQuestion({{"only", nullptr}}), {1.0});
    EXPECT_TRUE(one["confidence"].is_number_float());
    EXPECT_DOUBLE_EQ(one["confidence"].get<double>(), 1.0);
}

TEST(DecisionResultJsonTest, ScoreGivesExpectedLevelLegendAndSpreadConfidence) {
    DecisionQuestion q = choiceQuestion({{"0", "poor"}, {"1", "fine"}, {"2", "great"}});
    q.type = kDecisionScore;
    const ojson r = decisionResultJson(q, {0.2, 0.6, 0.2});
    std::vector<std::string> keys;
    for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"type", "score", "legend", "probabilities", "confidence"}));
    EXPECT_DOUBLE_EQ(r["score"].get<double>(), 1.0);
    EXPECT_EQ(r["legend"].dump(), R"({"0":"poor","1":"fine","2":"great"})");
    EXPECT_NEAR(r["confidence"].get<double>(), 0.4, 1e-12);
    EXPECT_DOUBLE_EQ(decisionResultJson(q, {0.0, 0.0, 1.0})["confidence"].get<double>(), 1.0);
    EXPECT_DOUBLE_EQ(decisionResultJson(q, {0.0, 0.0, 1.0})["score"].get<double>(), 2.0);
}

TEST(DecisionResultJsonTest, NoulGivesTheProbabilityOfTrueOnly) {
    DecisionQuestion q = choiceQuestion({{"false", nullptr}, {"true", nullptr}});
    q.type = kDecisionNoul;
    EXPECT_EQ(decisionResultJson(q, {0.25, 0.75}).dump(), R"({"type":"noul","noul":0.75})");
    // Fewer probabilities than options never read past the list.
    EXPECT_EQ(decisionResultJson(q, {0.25}).dump(), R"({"type":"noul","noul":0.0})");
}

TEST(DecisionJsonTextTest, StringsBareOthersCompact) {
    EXPECT_EQ(jsonToText("caf\xC3\xA9 \"x\""), "caf\xC3\xA9 \"x\"");
    EXPECT_EQ(jsonToText(ojson{{"b", 1}, {"a", {true, nullptr}}}), R"({"b":1,"a":[true,null]})");
    EXPECT_EQ(jsonToText(nullptr), "null");
    EXPECT_EQ(jsonToText(ojson{{"k", "\xC3\xA9"}}), "{\"k\":\"\xC3\xA9\"}");
}

}  // namespace
