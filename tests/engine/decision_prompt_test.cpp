// The virl prompt text (both option styles, mask scrubbing, value texts) and
// the token layout (checks, cuts, marker positions), without a model.
#include <gtest/gtest.h>

#include <numeric>

#include "engine/decision_prompt.h"
#include "engine/mivrel_exception.h"

namespace {

using ojson = nlohmann::ordered_json;

constexpr int32_t kCls = 101, kSep = 102, kMask = 103;

DecisionModelInfo templateInfo(bool scoreStyle) {
    DecisionModelInfo info;
    info.type = "virl";
    info.maxHeadTokens = 512;
    info.clsPrefix = "[CLS]";
    info.sepText = "[SEP]";
    info.maskText = "[MASK]";
    info.sepToken = kSep;
    info.maskToken = kMask;
    info.templateText = scoreStyle ? "[CLS]{{ type }} question: {% if type == 'score' %}..{% endif %}"
                                   : "[CLS]{{ type }} question: {% for o in options %}[MASK] {{ o }}{% endfor %}";
    return info;
}

DecisionPromptInput question(const std::string& type, ojson instructions, ojson context,
                             std::vector<std::pair<std::string, ojson>> options) {
    return DecisionPromptInput{type, std::move(instructions), std::move(context), std::move(options)};
}

TEST(DecisionPromptTest, RendersEveryStyleAndValueRule) {
    struct Case {
        const char* what;
        bool scoreStyle;
        DecisionPromptInput input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"score style choice", true,
         question("choice", "Which fits?", "a sunny day", {{"red", "warm colours"}, {"blue", nullptr}}),
         "[CLS]choice question: Which fits?[SEP][MASK] red: warm colours[MASK] blue[SEP]a sunny day[SEP]"},
        {"simple style shows a description or else the key", false,
         question("choice", "Which fits?", "x", {{"red", "warm colours"}, {"blue", ""}}),
         "[CLS]choice question: Which fits?[SEP][MASK] warm colours[MASK] blue[SEP]x[SEP]"},
        {"score levels always write their value", true,
         question("score", "How good?", "x", {{"0", "poor"}, {"1", nullptr}}),
         "[CLS]score question: How good?[SEP][MASK] level 0: poor[MASK] level 1: null[SEP]x[SEP]"},
        {"noul without descriptions", true, question("noul", "Is it?", "x", {{"false", nullptr}, {"true", nullptr}}),
         "[CLS]noul question: Is it?[SEP][MASK] false: no, the statement does not hold[MASK] true: yes, the "
         "statement holds[SEP]x[SEP]"},
        {"falsy descriptions count as missing", true,
         question("choice", "Q", "x", {{"a", 0}, {"b", false}, {"c", ojson::array()}, {"d", ""}}),
         "[CLS]choice question: Q[SEP][MASK] a[MASK] b[MASK] c[MASK] d[SEP]x[SEP]"},
        {"objects and arrays in spaced text, request order kept", true,
         question("choice", ojson{{"z", 1}, {"a", "t"}}, ojson::array({1, "two"}), {{"k", ojson{{"y", true}, {"b", nullptr}}}}),
         "[CLS]choice question: {\"z\": 1, \"a\": \"t\"}[SEP][MASK] k: {\"y\": true, \"b\": null}[SEP][1, \"two\"][SEP]"},
        {"null context and string instructions", true, question("choice", "plain", nullptr, {{"a", nullptr}}),
         "[CLS]choice question: plain[SEP][MASK] a[SEP]null[SEP]"},
        {"mask text scrubbed from values and keys, not the separator", true,
         question("choice", "a[MASK]b[SEP]", ojson{{"[MASK]", "[MASK][MASK]"}}, {{"x[MASK]", ojson::array({"[MASK]"})}}),
         "[CLS]choice question: a b[SEP][SEP][MASK] x : [\" \"][SEP]{\"[MASK]\": \"  \"}[SEP]"},
    };
    VirlPromptRenderer renderer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(renderer.renderQuestion(c.input, templateInfo(c.scoreStyle)), c.expected);
    }
}

TEST(DecisionPromptTest, OnlyVirlHasARenderer) {
    EXPECT_NE(dynamic_cast<VirlPromptRenderer*>(createDecisionPromptRenderer("virl").get()), nullptr);
    EXPECT_EQ(createDecisionPromptRenderer("VIRL"), nullptr);
    EXPECT_EQ(createDecisionPromptRenderer(""), nullptr);
}

// [CLS] question... [SEP] ([MASK] option...)* [SEP] context... [SEP]
std::vector<int32_t> laidOut(size_t questionTokens, const std::vector<size_t>& optionTokens, size_t contextTokens) {
    std::vector<int32_t> t{kCls};
    for (size_t i = 0; i < questionTokens; ++i) t.push_back(1000 + static_cast<int32_t>(i));
    t.push_back(kSep);
    for (size_t o = 0; o < optionTokens.size(); ++o) {
        t.push_back(kMask);
        for (size_t i = 0; i < optionTokens[o]; ++i) t.push_back(2000 + static_cast<int32_t>(100 * o + i));
    }
    t.push_back(kSep);
    for (size_t i = 0; i < contextTokens; ++i) t.push_back(3000 + static_cast<int32_t>(i));
    t.push_back(kSep);
    return t;
}

TEST(DecisionPromptTest, LayoutRefusesTokensThatAreNotLaidOutAsRendered) {
    const DecisionModelInfo info = templateInfo(true);
    struct Case {
        const char* what;
        std::vector<int32_t> tokens;
        size_t choices;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"mask count differs", laidOut(2, {1, 1}, 1), 3, "unexpected decision prompt layout (markers=2, choices=3)"},
        {"no choices", {kCls, 5, kSep, kSep, 7, kSep}, 0, "unexpected decision prompt layout (markers=0, choices=0)"},
        {"first mask at position 1", {kCls, kMask, 5, kSep, 7, kSep}, 1,
         "unexpected decision prompt layout (markers=1, choices=1)"},
        {"no separator before the first mask", {kCls, 5, 6, kMask, 5, kSep, 7, kSep}, 1,
         "unexpected decision prompt layout (markers=1, choices=1)"},
        {"last token not a separator", {kCls, 5, kSep, kMask, 5, kSep, 7}, 1,
         "unexpected decision prompt layout (markers=1, choices=1)"},
        {"no context part", {kCls, 5, kSep, kMask, 5, kSep}, 1,
         "unexpected decision prompt layout (no [SEP] after choices)"},
    };
    VirlPromptRenderer renderer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            renderer.layoutTokens(c.tokens, c.choices, info);
            ADD_FAILURE() << "no exception";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_EQ(e.message, c.message);
        }
    }
}

TEST(DecisionPromptTest, LayoutCutsQuestionAndOptionsToTheBudgetAndKeepsTheContext) {
    struct Case {
        const char* what;
        uint64_t maxHead;
        size_t question;
        std::vector<size_t> options;  // tokens after each mask
        size_t keptQuestion;
        size_t keptSpan;              // mask included
        bool truncated;
    };
    const std::vector<Case> cases = {
        {"nothing to cut", 512, 10, {3, 4}, 10, 0, false},
        {"long options keep 49 tokens, question the rest", 512, 500, {100, 100}, 414, 49, true},
        {"many options keep 4 tokens, question 8", 64, 30, std::vector<size_t>(20, 10), 8, 4, true},
    };
    VirlPromptRenderer renderer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DecisionModelInfo info = templateInfo(true);
        info.maxHeadTokens = c.maxHead;
        const std::vector<int32_t> in = laidOut(c.question, c.options, 7);
        const DecisionLayout layout = renderer.layoutTokens(in, c.options.size(), info);
        EXPECT_EQ(layout.truncated, c.truncated);
        EXPECT_EQ(layout.column, 0);
        ASSERT_EQ(layout.markers.size(), c.options.size());
        // [CLS], the kept beginning of the question, [SEP]
        ASSERT_GE(layout.tokens.size(), c.keptQuestion + 2);
        EXPECT_EQ(layout.tokens[0], kCls);
        for (size_t i = 0; i < c.keptQuestion; ++i) EXPECT_EQ(layout.tokens[1 + i], 1000 + static_cast<int32_t>(i));
        EXPECT_EQ(layout.tokens[c.keptQuestion + 1], kSep);
        // every marker points at a mask, followed by the beginning of its option
        for (size_t o = 0; o < c.options.size(); ++o) {
            const size_t at = static_cast<size_t>(layout.markers[o]);
            ASSERT_LT(at, layout.tokens.size());
            EXPECT_EQ(layout.tokens[at], kMask);
            const size_t span = c.keptSpan ? c.keptSpan : c.options[o] + 1;
            const size_t next = o + 1 < c.options.size() ? static_cast<size_t>(layout.markers[o + 1])
                                                         : layout.tokens.size() - 9;  // [SEP], 7 context, [SEP]
            EXPECT_EQ(next - at, span);
            EXPECT_EQ(layout.tokens[at + 1], 2000 + static_cast<int32_t>(100 * o));
        }
        // the context part is never shortened
        const std::vector<int32_t> tail(in.end() - 9, in.end());
        EXPECT_EQ(std::vector<int32_t>(layout.tokens.end() - 9, layout.tokens.end()), tail);
    }
}

}  // namespace
