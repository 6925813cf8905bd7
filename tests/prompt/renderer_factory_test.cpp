#include <gtest/gtest.h>

#include <typeinfo>

#include "prompt/chat_prompt_renderer.h"
#include "prompt/gemma4_renderer.h"
#include "prompt/gpt_oss_renderer.h"
#include "prompt/local_date.h"
#include "prompt/qwen3_renderer.h"
#include "prompt/raw_renderer.h"
#include "prompt/tolv_renderer.h"
#include "prompt_test_util.h"

using nlohmann::json;

namespace {

const std::string kCreated = "[LLMChatPromptRenderer] 생성: ";
const std::string kUnknown = "[LLMChatPromptRenderer] 알 수 없는 타입: ";

TEST(CreateChatPromptRenderer, MapsEveryKnownKey) {
    struct Case {
        const char* key;
        const std::type_info& type;
        bool qwen35;
    };
    const Case cases[] = {
        {"qwen3", typeid(Qwen3Renderer), false},   {"qwen35", typeid(Qwen3Renderer), true},
        {"gemma4", typeid(Gemma4Renderer), false}, {"gpt-oss", typeid(GptOssRenderer), false},
        {"tolv", typeid(TolvRenderer), false},     {"tolv-wistrel", typeid(TolvRenderer), false},
        {"default", typeid(RawRenderer), false},
    };
    for (const auto& c : cases) {
        LogCapture log;
        auto renderer = createChatPromptRenderer(c.key);
        ASSERT_NE(renderer, nullptr);
        const auto& made = *renderer;
        EXPECT_EQ(typeid(made), c.type) << c.key;
        if (auto* qwen = dynamic_cast<Qwen3Renderer*>(renderer.get())) {
            EXPECT_EQ(qwen->isQwen35(), c.qwen35);
        }
        EXPECT_EQ(log.text(), kCreated + c.key + "\n") << c.key;
    }
}

TEST(CreateChatPromptRenderer, UnknownKeysGetTheRawRendererWithAWarning) {
    // "qwen30" and "buffered_tag" have assemblers but no renderer of their own.
    for (const std::string key : {"qwen30", "buffered_tag", "Qwen3", "qwen3 ", "", "gemma"}) {
        LogCapture log;
        auto renderer = createChatPromptRenderer(key);
        ASSERT_NE(renderer, nullptr);
        const auto& made = *renderer;
        EXPECT_EQ(typeid(made), typeid(RawRenderer)) << key;
        EXPECT_EQ(log.text(), kCreated + key + "\n" + kUnknown + key + " → raw 사용\n") << key;
    }
}

// The marker answers of every class, side by side.
TEST(RendererMarkers, ClassByOperationTable) {
    struct Row {
        const char* key;
        std::string turnEnd;
        bool splits;
        bool hasToolMarkers;
        std::string toolOpen, toolClose;
        bool hasThinking;
        std::string thinkOpen, thinkClose, closeThenAnswer;
        std::string prefix;
    };
    const Row rows[] = {
        {"default", "", false, false, "", "", false, "", "", "", ""},
        {"qwen3", "<|im_end|>\n", false, true, "<tool_call>", "</tool_call>", true, "<think>", "</think>",
         "\n</think>\n\n", "<think>\n"},
        {"qwen35", "<|im_end|>\n", false, true, "<tool_call>", "</tool_call>", true, "<think>", "</think>",
         "\n</think>\n\n", "<think>\n"},
        {"gemma4", "<turn|>\n", false, true, "<|tool_call>", "<tool_call|>", true, "<|channel>", "<channel|>",
         "\n<channel|>", "<|channel>thought\n"},
        {"gpt-oss", "<|end|>", true, false, "", "", true, "<|channel|>analysis<|message|>", "<|end|>",
         "<|end|><|start|>assistant<|channel|>final<|message|>", "<|start|>assistant<|channel|>analysis<|message|>"},
        {"tolv", "<|eot|>", true, false, "", "", true, "to=self<|message|>", "<|eom|>",
         "<|eom|><|start|>assistant to=user<|message|>", "<|start|>assistant to=self<|message|>"},
        {"tolv-wistrel", "<|eot|>", true, false, "", "", true, "to=self<|message|>", "<|eom|>",
         "<|eom|><|start|>assistant to=user<|message|>", "<|start|>assistant to=self<|message|>"},
    };
    const std::string kUntouched = "untouched";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        auto r = createChatPromptRenderer(row.key);
        EXPECT_EQ(r->turnEndToken(), row.turnEnd);
        EXPECT_EQ(r->splitsInjectedText(), row.splits);
        EXPECT_EQ(r->thinkingPrefix(), row.prefix);
        EXPECT_FALSE(r->continuesTurnAfterToolResult({}));
        EXPECT_FALSE(r->continuesTurnAfterToolResult({json{{"role", "user"}, {"content", "hi"}}}));

        std::string open = kUntouched, close = kUntouched;
        EXPECT_EQ(r->toolCallMarkers(open, close), row.hasToolMarkers);
        EXPECT_EQ(open, row.hasToolMarkers ? row.toolOpen : kUntouched);
        EXPECT_EQ(close, row.hasToolMarkers ? row.toolClose : kUntouched);

        std::string tOpen = kUntouched, tClose = kUntouched, cta = kUntouched;
        EXPECT_EQ(r->thinkingMarkers(tOpen, tClose, cta), row.hasThinking);
        EXPECT_EQ(tOpen, row.hasThinking ? row.thinkOpen : kUntouched);
        EXPECT_EQ(tClose, row.hasThinking ? row.thinkClose : kUntouched);
        EXPECT_EQ(cta, row.hasThinking ? row.closeThenAnswer : kUntouched);

        // Out-parameters are assigned, not appended to.
        std::string prefilled = "x";
        std::string other = "y", third = "z";
        if (r->thinkingMarkers(prefilled, other, third)) {
            EXPECT_EQ(prefilled, row.thinkOpen);
        }

        for (const std::string stop : {"", "<|call|>", "<|return|>", "<|end|>", "<|im_end|>", "<|call|> "}) {
            const std::string expected =
                std::string(row.key) == "gpt-oss" && stop == "<|call|>" ? "<|call|>" : row.turnEnd;
            EXPECT_EQ(r->turnCloseFor(stop), expected) << "stop " << stop;
        }
    }
}

TEST(RendererMarkers, GemmaTurnContinuesOnlyAfterLeadingToolResults) {
    Gemma4Renderer gemma;
    const json toolMessage = {{"role", "tool"}, {"name", "clock"}, {"content", "12:00"}};
    const json resultBlocks = {{"role", "user"},
                               {"content", json::array({{{"type", "tool_result"}, {"tool_use_id", "c1"}, {"content", "ok"}}})}};
    const json mixed = {{"role", "user"},
                        {"content", json::array({{{"type", "tool_result"}, {"content", "ok"}}, {{"type", "text"}, {"text", "and"}}})}};
    EXPECT_TRUE(gemma.continuesTurnAfterToolResult({toolMessage}));
    EXPECT_TRUE(gemma.continuesTurnAfterToolResult({resultBlocks, json{{"role", "user"}, {"content", "next"}}}));
    EXPECT_FALSE(gemma.continuesTurnAfterToolResult({}));
    EXPECT_FALSE(gemma.continuesTurnAfterToolResult({mixed}));
    EXPECT_FALSE(gemma.continuesTurnAfterToolResult({json{{"role", "user"}, {"content", json::array()}}}));
    EXPECT_FALSE(gemma.continuesTurnAfterToolResult({json{{"role", "user"}, {"content", "x"}}, toolMessage}));

    std::vector<Gemma4ToolResult> results;
    std::string name = "stale";
    ASSERT_TRUE(gemma4ToolResults(json{{"role", "tool"}, {"tool_use_id", "u"}, {"content", "r"}}, results, name));
    EXPECT_EQ(name, "");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].id, "u");
    EXPECT_EQ(results[0].text, "r");
    results.clear();
    ASSERT_TRUE(gemma4ToolResults(json{{"role", "tool"}, {"name", "n"}, {"tool_call_id", "a"}, {"tool_use_id", "b"}},
                                  results, name));
    EXPECT_EQ(name, "n");
    EXPECT_EQ(results[0].id, "a");
    EXPECT_EQ(results[0].text, "");
}

TEST(RendererDefaults, RenderConversationBuildsTheMessageList) {
    // The base version is used by families without their own; a recording
    // subclass shows the list it builds.
    struct Recorder : LLMChatPromptRenderer {
        std::string render(const MessageList& messages, const RenderOptions& options) const override {
            return json(messages).dump() + "|" + std::to_string(options.think);
        }
        std::string turnEndToken() const override { return "END"; }
        std::string thinkingPrefix() const override { return ""; }
    } recorder;
    RenderOptions options;
    options.think = 2;
    const MessageList history = {json{{"role", "assistant"}, {"content", "a"}}};
    EXPECT_EQ(recorder.renderConversation(history, "", "", options),
              R"([{"content":"a","role":"assistant"},{"content":"","role":"user"}]|2)");
    EXPECT_EQ(recorder.renderConversation({}, "u", "sys", options),
              R"([{"content":"sys","role":"system"},{"content":"u","role":"user"}]|2)");
    EXPECT_EQ(recorder.turnCloseFor("<|call|>"), "END");
    std::string open = "o", close = "c", cta = "t";
    EXPECT_FALSE(recorder.toolCallMarkers(open, close));
    EXPECT_FALSE(recorder.thinkingMarkers(open, close, cta));
    EXPECT_EQ(open + close + cta, "oct");
    EXPECT_FALSE(recorder.splitsInjectedText());
}

TEST(RendererDefaults, EveryFamilyRendersAUserTurn) {
    for (const char* key : {"gemma4", "gpt-oss", "tolv", "tolv-wistrel"}) {
        auto r = createChatPromptRenderer(key);
        const std::string prompt = r->render({json{{"role", "user"}, {"content", "hi"}}}, RenderOptions());
        EXPECT_NE(prompt.find("hi"), std::string::npos) << key;
    }
}

TEST(RenderOptionsRecord, DefaultsMatchAFreshContext) {
    const RenderOptions options;
    EXPECT_EQ(options.think, 1);
    EXPECT_EQ(options.tools, json::array());
    EXPECT_FALSE(options.hasTools);
    EXPECT_FALSE(options.noThinking);
    EXPECT_TRUE(options.defaultSystem);
    EXPECT_EQ(options.priorToolCalls, json::array());
}

TEST(LocalDate, IsAnIsoCalendarDate) {
    const std::string today = formatLocalDate();
    ASSERT_EQ(today.size(), 10u) << today;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) EXPECT_TRUE(today[i] >= '0' && today[i] <= '9') << today;
    EXPECT_EQ(today[4], '-');
    EXPECT_EQ(today[7], '-');
    const int month = std::stoi(today.substr(5, 2)), day = std::stoi(today.substr(8, 2));
    EXPECT_TRUE(month >= 1 && month <= 12) << today;
    EXPECT_TRUE(day >= 1 && day <= 31) << today;
}

}  // namespace
