#include <gtest/gtest.h>

#include "family_test_util.h"
#include "prompt/gemma4_message_assembler.h"
#include "prompt/gemma4_renderer.h"
#include "prompt_test_util.h"

using nlohmann::json;
using namespace family_test;

namespace {

struct Block {
    std::string metaType;
    std::string content;
    bool partial = false;
};
bool operator==(const Block& a, const Block& b) {
    return a.metaType == b.metaType && a.content == b.content && a.partial == b.partial;
}
std::ostream& operator<<(std::ostream& os, const Block& b) {
    return os << b.metaType << (b.partial ? "(partial)" : "") << ":" << b.content;
}

std::vector<Block> summary(const AssemblyRun& run) {
    std::vector<Block> out;
    for (const auto& b : run.blocks) {
        EXPECT_EQ(b.channel, b.metaType);
        EXPECT_EQ(b.contentType, "text/plain");
        out.push_back({b.metaType, b.content, b.partial});
    }
    return out;
}

AssemblyRun runGemma(const std::string& prompt, const std::vector<std::string>& pieces) {
    Gemma4MessageAssembler assembler;
    assembler.primeFromRawPrompt(prompt);
    return runPieces(assembler, pieces);
}

const std::string kThinkingPrompt = "<|turn>user\nHi<turn|>\n<|turn>model\n<|channel>thought\n";

TEST(Gemma4Assembler, PrimingFromTheEndOfThePrompt) {
    const std::string thoughtLog = "[Gemma4Assembler] rawPrompt 가 열린 생각 채널로 끝남 → thought 모드 시작\n";
    const std::string toolLog = "[Gemma4Assembler] rawPrompt 가 <|tool_call> 로 끝남 → tool_call 모드 시작\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", "message", ""},
        {"<|turn>model\n", "message", ""},
        {kThinkingPrompt, "thought", thoughtLog},
        {"<|channel>thought", "thought", thoughtLog},
        {"<|channel> tho ught \r\n\t", "thought", thoughtLog},
        {"<|channel>thought\nhalf a thought", "message", ""},
        {"<|channel>analysis\n", "message", ""},
        {"<|channel>thought\n<channel|>", "message", ""},
        {"<|channel>x<channel|>\n<|channel>thought\n", "thought", thoughtLog},
        {"<|turn>model\n<|tool_call>", "tool_call", toolLog},
        {"<|channel>thought\n<|tool_call>", "tool_call", toolLog},
        {"<|tool_call>\n", "message", ""},
    };
    for (const auto& [prompt, expected, logLine] : cases) {
        LogCapture log;
        Gemma4MessageAssembler assembler;
        assembler.primeFromRawPrompt(prompt);
        EXPECT_EQ(assembler.initialPartType(), expected) << prompt;
        if (logLine.empty()) {
            EXPECT_EQ(log.text(), "") << prompt;
        } else {
            EXPECT_TRUE(log.contains(logLine)) << prompt;
        }
    }
}

TEST(Gemma4Assembler, Scripts) {
    const std::string name32(32, 'n');
    struct Case {
        const char* name;
        std::string prompt;
        std::vector<std::string> pieces;
        std::vector<Block> blocks;
        std::string streamedText;
        std::string streamedThinking;
    };
    const Case cases[] = {
        {"primed thought then answer", kThinkingPrompt, {"Let", " me", "<channel|>", "Hi"},
         {{"thought", "Let me"}, {"message", "Hi"}}, "Hi", "Let me"},
        {"own thought: the name is dropped at the line feed", "",
         {"Sure", "<|channel>", "thought", "\n", "x", "<channel|>", "A"},
         {{"message", "Sure"}, {"thought", "x"}, {"message", "A"}}, "SureA", "\nx"},
        {"name and text in one piece", "", {"<|channel>", "thought\nab", "c", "<channel|>"}, {{"thought", "abc"}}, "",
         "thought\nabc"},
        {"a 32-byte name still waits", "", {"<|channel>", name32, "\n", "t"}, {{"thought", "t"}}, "", "\nt"},
        {"a name past 32 bytes is thought text", "", {"<|channel>", name32, "x", "y"},
         {{"thought", name32 + "xy"}}, "", "xy"},
        {"close right after open packages nothing", "", {"<|channel>", "<channel|>", "A"}, {{"message", "A"}}, "A", ""},
        {"stray close turns the answer into a thought", "", {"ans", "wer", "<channel|>", "B"},
         {{"thought", "answer"}, {"message", "B"}}, "answerB", ""},
        {"stray close without answer text", "", {"<channel|>", "B"}, {{"message", "B"}}, "B", ""},
        {"empty thought is packaged", kThinkingPrompt, {"<channel|>"}, {{"thought", ""}}, "", ""},
        {"tool call between answers", "", {"Sure", "<|tool_call>", "call:f{}", "<tool_call|>", "ok"},
         {{"message", "Sure"}, {"tool_call", "call:f{}"}, {"message", "ok"}}, "Sureok", ""},
        {"empty tool call", "", {"<|tool_call>", "<tool_call|>"}, {{"tool_call", ""}}, "", ""},
        {"cut tool call is partial", "", {"<|tool_call>", "call:f{"}, {{"tool_call", "call:f{", true}}, "", ""},
        {"primed tool call", "<|tool_call>", {"call:g{}", "<tool_call|>"}, {{"tool_call", "call:g{}"}}, "", ""},
        {"cut thought", kThinkingPrompt, {"abc"}, {{"thought", "abc"}}, "", "abc"},
        {"a second opener drops the open thought", kThinkingPrompt,
         {"x", "<|channel>", "thought\n", "y", "<channel|>"}, {{"thought", "y"}}, "", "xthought\ny"},
        {"a call opener drops the open thought", kThinkingPrompt, {"x", "<|tool_call>", "c", "<tool_call|>"},
         {{"tool_call", "c"}}, "", "x"},
        {"end marker", "", {"A", "<turn|>", "B"}, {{"message", "A"}}, "A", ""},
        {"tool response marker ends inside a thought", kThinkingPrompt, {"x", "<|tool_response>", "B"},
         {{"thought", "x"}}, "", "x"},
        {"turn opener ends inside a call", "", {"<|tool_call>", "c", "<|turn>"}, {{"tool_call", "c", true}}, "", ""},
        {"markers inside longer pieces are text", "", {"a<channel|>b", "<|tool_call>c"}, {{"message", "a<channel|>b<|tool_call>c"}},
         "a<channel|>b<|tool_call>c", ""},
        {"nothing generated", "", {}, {}, "", ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        const AssemblyRun run = runGemma(c.prompt, c.pieces);
        EXPECT_EQ(summary(run), c.blocks) << c.name;
        EXPECT_EQ(run.streamedText(), c.streamedText) << c.name;
        EXPECT_EQ(run.streamedThinking(), c.streamedThinking) << c.name;
        // Every marker snapshot releases no text.
        for (const auto& s : run.snapshots) {
            if (s.lastPiece.find('<') == 0 && s.lastPiece.size() > 1 && s.lastPiece.back() == '>' &&
                s.lastPiece.find("|") != std::string::npos) {
                EXPECT_EQ(s.textDelta, "") << c.name << " " << s.lastPiece;
            }
        }
    }
}

TEST(Gemma4Assembler, LogsAndCounts) {
    {
        LogCapture log;
        const auto run = runGemma("", {"ans", "<channel|>"});
        EXPECT_TRUE(log.contains("[Gemma4Assembler] 여는 <|channel> 없이 <channel|> 수신 — 이전 message(이미 스트리밍됨)를 "
                                 "thought 로 재분류\n"));
    }
    {
        LogCapture log;
        const auto run = runGemma("", {"<|tool_call>", "c", "<turn|>"});
        EXPECT_TRUE(log.contains("[Gemma4Assembler] 종료 토큰 감지: <turn|> → 생성 중지\n"));
        EXPECT_TRUE(log.contains("[Gemma4Assembler] tool_call 프레임 미완성 상태로 종료\n"));
        ASSERT_EQ(run.blocks.size(), 1u);
        EXPECT_EQ(run.blocks[0].tokens, 3u);
        EXPECT_EQ(run.snapshots.back().pieceCount, 3);
    }
    {
        // Three pieces and the end: the end pull counts.
        const auto run = runGemma(kThinkingPrompt, {"a", "<channel|>", "b"});
        ASSERT_EQ(run.blocks.size(), 2u);
        EXPECT_EQ(run.blocks[0].tokens, 2u);
        EXPECT_EQ(run.blocks[1].tokens, 4u);
        EXPECT_EQ(run.snapshots.size(), 4u);
        EXPECT_EQ(run.blocks[0].startedAtMs, run.blocks[1].startedAtMs);
        EXPECT_EQ(run.blocks[1].endedAtMs % 1000, 0);
    }
    {
        // An end marker inside a thought does not stream as thinking.
        const auto run = runGemma(kThinkingPrompt, {"x", "<turn|>"});
        EXPECT_EQ(run.streamedThinking(), "x");
        EXPECT_EQ(run.blocks.at(0).metaType, "thought");
    }
    EXPECT_EQ(Gemma4MessageAssembler().stopStrings(),
              (std::vector<std::string>{"<turn|>", "<|tool_response>", "<|turn>"}));
}

TEST(Gemma4Assembler, LiveTextIsCompleteUtf8) {
    const std::string euro = "\xE2\x82\xAC";
    struct Case {
        std::vector<std::string> pieces;
        std::vector<std::string> deltas;
        std::string content;
    };
    const Case cases[] = {
        {{"a\xE2", "\x82", "\xAC" "b"}, {"a", "", euro + "b", ""}, "a" + euro + "b"},
        {{"x\xFFy"}, {"x\xEF\xBF\xBDy", ""}, "x\xFFy"},
        // A character cut by the end of the generation is shown as U+FFFD.
        {{"z\xE2\x82"}, {"z", "\xEF\xBF\xBD"}, "z\xE2\x82"},
    };
    for (const Case& c : cases) {
        const auto run = runGemma("", c.pieces);
        std::vector<std::string> deltas;
        for (const auto& s : run.snapshots) deltas.push_back(s.textDelta);
        EXPECT_EQ(deltas, c.deltas);
        ASSERT_EQ(run.blocks.size(), 1u);
        EXPECT_EQ(run.blocks[0].content, c.content);
    }
}

TEST(Gemma4Assembler, RoundTripWithTheRenderer) {
    Gemma4Renderer renderer;
    // The rendered thinking prompt and the thinking prefix start a thought;
    // a prompt with thinking off starts the answer.
    for (const auto& [prompt, expected] : std::vector<std::pair<std::string, std::string>>{
             {renderer.render({msg("user", "Hi")}, options(1)), "thought"},
             {renderer.render({msg("user", "Hi")}, options(0)), "message"},
             {"<|turn>model\n" + renderer.thinkingPrefix(), "thought"},
         }) {
        Gemma4MessageAssembler assembler;
        assembler.primeFromRawPrompt(prompt);
        EXPECT_EQ(assembler.initialPartType(), expected) << prompt;
    }
    std::string open, close;
    ASSERT_TRUE(renderer.toolCallMarkers(open, close));
    Gemma4MessageAssembler resumed;
    resumed.primeFromRawPrompt("<|turn>model\n" + open);
    EXPECT_EQ(resumed.initialPartType(), "tool_call");

    // A generated call goes back byte for byte and names its result.
    const std::string q = "<|\"|>";
    const auto run = runGemma(kThinkingPrompt, {"plan", "<channel|>", open, "call:clock{zone:", q, "UTC", q, "}", close});
    ASSERT_EQ(run.blocks.size(), 2u);
    const std::string raw = run.blocks[1].content;
    EXPECT_EQ(raw, "call:clock{zone:" + q + "UTC" + q + "}");
    RenderOptions next = options(1, false);
    next.priorToolCalls = json::array({{{"id", "toolu_0"}, {"raw", raw}}});
    const MessageList messages = {msg("assistant", json::array({rawToolUse("toolu_0", raw)})),
                                  msg("user", json::array({toolResult("toolu_0", "12:00")}))};
    EXPECT_EQ(renderer.render(messages, next), "<|turn>model\n" + open + raw + close +
                                                   "<|tool_response>response:clock{value:" + q + "12:00" + q +
                                                   "}<tool_response|>");
    // The result alone, continuing the turn the response left open.
    EXPECT_EQ(renderer.render({messages[1]}, next),
              "<|tool_response>response:clock{value:" + q + "12:00" + q + "}<tool_response|>");
}

}  // namespace
