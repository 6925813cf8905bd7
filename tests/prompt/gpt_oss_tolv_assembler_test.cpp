#include <gtest/gtest.h>

#include "family_test_util.h"
#include <typeinfo>

#include "prompt/gemma4_message_assembler.h"
#include "prompt/gpt_oss_message_assembler.h"
#include "prompt/gpt_oss_renderer.h"
#include "prompt/tolv_message_assembler.h"
#include "prompt/tolv_renderer.h"
#include "prompt_test_util.h"

using nlohmann::json;
using namespace family_test;

namespace {

struct Block {
    std::string metaType;
    std::string channel;
    std::string content;
    bool partial = false;
};
bool operator==(const Block& a, const Block& b) {
    return a.metaType == b.metaType && a.channel == b.channel && a.content == b.content && a.partial == b.partial;
}
std::ostream& operator<<(std::ostream& os, const Block& b) {
    return os << b.metaType << "@" << b.channel << (b.partial ? "(partial)" : "") << ":" << b.content;
}

std::vector<Block> summary(const AssemblyRun& run) {
    std::vector<Block> out;
    for (const auto& b : run.blocks) out.push_back({b.metaType, b.channel, b.content, b.partial});
    return out;
}

template <typename Assembler>
AssemblyRun runPrimed(const std::string& prompt, const std::vector<std::string>& pieces) {
    Assembler assembler;
    assembler.primeFromRawPrompt(prompt);
    return runPieces(assembler, pieces);
}

const std::string kGptThinking = "<|start|>assistant<|channel|>analysis<|message|>";
const std::string kTolvThinking = "<|start|>assistant to=self<|message|>";

TEST(GptOssAssembler, PrimingAndHeaders) {
    struct Case {
        std::string prompt;
        bool inBody;
        std::string channel;
        std::string partType;
        std::string raw;
    };
    const Case cases[] = {
        {"<|end|><|start|>assistant", false, "", "message", "<|start|>assistant"},
        {"x" + kGptThinking, true, "analysis", "thought", kGptThinking},
        {"<|start|>assistant<|channel|>final<|message|>", true, "final", "message",
         "<|start|>assistant<|channel|>final<|message|>"},
        {"<|start|>assistant<|channel|>commentary<|message|>", true, "commentary", "message",
         "<|start|>assistant<|channel|>commentary<|message|>"},
        {"<|start|>assistant to=functions.f<|channel|>commentary json<|message|>", true, "commentary", "tool_call",
         "<|start|>assistant to=functions.f<|channel|>commentary json<|message|>"},
        {"<|start|>assistant<|channel|>weird<|message|>", true, "weird", "thought",
         "<|start|>assistant<|channel|>weird<|message|>"},
        {"<|start|>assistant to=functions.f<|message|>", true, "", "tool_call", "<|start|>assistant to=functions.f<|message|>"},
        {"<|start|>assistant<|message|>", true, "", "thought", "<|start|>assistant<|message|>"},
        {"<|start|><|message|>", true, "", "thought", "<|start|><|message|>"},
        // Any other prompt: the model's text is the answer from the start.
        {"no header<|message|>", true, "final", "message", ""},
        {"<|start|>assistant<|channel|>final<|message|>text", true, "final", "message", ""},
        {"", true, "final", "message", ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        GptOssMessageAssembler assembler;
        assembler.primeFromRawPrompt(c.prompt);
        EXPECT_EQ(assembler.inBody(), c.inBody) << c.prompt;
        EXPECT_EQ(assembler.channel(), c.channel) << c.prompt;
        EXPECT_EQ(assembler.partType(), c.partType) << c.prompt;
        EXPECT_EQ(assembler.rawText(), c.raw) << c.prompt;
        const bool logged = log.contains("[GptOssAssembler] rawPrompt 가 메시지 머리로 끝남 → " + c.partType +
                                         " 본문에서 시작 (channel=" + c.channel + ")\n");
        EXPECT_EQ(logged, !c.raw.empty() && c.inBody) << c.prompt;
    }
}

TEST(GptOssAssembler, Scripts) {
    const std::string primedHead = "<|start|>assistant";
    const std::string call = "<|start|>assistant to=functions.get_weather<|channel|>commentary json<|message|>";
    struct Case {
        const char* name;
        std::string prompt;
        std::vector<std::string> pieces;
        std::vector<Block> blocks;
        std::string streamedText;
        std::string streamedThinking;
    };
    const Case cases[] = {
        {"thought then answer", primedHead,
         {"<|channel|>", "analysis", "<|message|>", "Think", "ing", "<|end|>", "<|start|>", "assistant", "<|channel|>",
          "final", "<|message|>", "Ans", "wer"},
         {{"thought", "analysis", "Thinking"}, {"message", "final", "Answer"}}, "Answer", "Thinking"},
        {"thinking prefix starts in a thought and the injected close leads to the answer", kGptThinking,
         {"t", "<|end|>", "<|start|>", "assistant", "<|channel|>", "final", "<|message|>", "a", "<|return|>", "x"},
         {{"thought", "analysis", "t"}, {"message", "final", "a"}}, "a", "t"},
        {"tool call cut by the end of the pieces", primedHead,
         {"<|channel|>", "analysis", "<|message|>", "plan", "<|end|>", "<|start|>", "assistant",
          " to=functions.get_weather", "<|channel|>", "commentary json", "<|message|>", "{\"city\":", "\"Paris\"}"},
         {{"thought", "analysis", "plan"}, {"tool_call", "commentary", call + "{\"city\":\"Paris\"}", true}}, "",
         "plan"},
        {"tool call ended by its own marker", primedHead,
         {" to=functions.f", "<|channel|>", "commentary", "<|message|>", "{}", "<|call|>"},
         {{"tool_call", "commentary", "<|start|>assistant to=functions.f<|channel|>commentary<|message|>{}"}}, "", ""},
        {"primed inside a call", call, {"{\"city\":\"Oslo\"}"},
         {{"tool_call", "commentary", call + "{\"city\":\"Oslo\"}", true}}, "", ""},
        {"commentary without recipient is answer text", primedHead,
         {"<|channel|>", "commentary", "<|message|>", "Looking", "<|end|>"}, {{"message", "commentary", "Looking"}},
         "Looking", ""},
        {"a message marker inside a body is text", "", {"a", "<|message|>", "b"},
         {{"message", "final", "a<|message|>b"}}, "a<|message|>b", ""},
        {"empty body gives no block", primedHead, {"<|channel|>", "final", "<|message|>", "<|end|>"},
         {{"message", "message", ""}}, "", ""},
        {"header without message marker gives no block", "", {"<|start|>", "assistant"}, {{"message", "message", ""}},
         "", ""},
        {"nothing generated", primedHead, {}, {{"message", "message", ""}}, "", ""},
        {"an answer body without a channel name", "", {"<|start|>", "x to=y", "<|message|>", "z"},
         {{"tool_call", "", "<|start|>x to=y<|message|>z", true}}, "", ""},
    };
    for (const Case& c : cases) {
        const AssemblyRun run = runPrimed<GptOssMessageAssembler>(c.prompt, c.pieces);
        EXPECT_EQ(summary(run), c.blocks) << c.name;
        EXPECT_EQ(run.streamedText(), c.streamedText) << c.name;
        EXPECT_EQ(run.streamedThinking(), c.streamedThinking) << c.name;
    }
}

TEST(GptOssAssembler, PhaseAndPartTypePerPiece) {
    const auto run = runPrimed<GptOssMessageAssembler>(
        "<|start|>assistant", {"<|channel|>", "analysis", "<|message|>", "t", "<|end|>", "<|start|>", "assistant",
                               "<|channel|>", "final", "<|message|>", "a"});
    std::vector<std::pair<int, std::string>> states;
    for (const auto& s : run.snapshots) states.emplace_back(s.phase, s.partType);
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "unknown"}, {1, "unknown"}, {2, "unknown"}, {2, "thought"}, {2, "unknown"}, {1, "unknown"},
        {1, "unknown"}, {1, "unknown"}, {1, "unknown"}, {2, "unknown"}, {2, "message"}, {2, "unknown"},
    };
    EXPECT_EQ(states, expected);
    EXPECT_EQ(run.blocks.at(0).tokens, 5u);
    EXPECT_EQ(run.blocks.at(1).tokens, 12u);
    EXPECT_EQ(run.blocks.at(0).startedAtMs, run.blocks.at(1).startedAtMs);

    // A body start (primed) publishes phase 2 from the first piece on.
    const auto primed = runPrimed<GptOssMessageAssembler>(kGptThinking, {"t"});
    EXPECT_EQ(primed.snapshots.at(0).phase, 2);
    EXPECT_EQ(primed.snapshots.at(0).partType, "thought");
    EXPECT_TRUE(GptOssMessageAssembler().stopStrings().empty());
    EXPECT_TRUE(TolvMessageAssembler().stopStrings().empty());

    LogCapture log;
    runPrimed<GptOssMessageAssembler>("<|start|>assistant to=functions.f<|channel|>commentary<|message|>", {"{"});
    EXPECT_TRUE(log.contains("[GptOssAssembler] tool 호출 도중 생성 종료 → partial tool_call\n"));
}

TEST(GptOssAssembler, LiveTextIsCompleteUtf8) {
    // A character cut by the end of a message is shown as U+FFFD; its block
    // keeps the bytes.
    const auto run = runPrimed<GptOssMessageAssembler>("", {"a\xE2\x82", "<|end|>", "<|start|>", "assistant",
                                                            "<|channel|>", "final", "<|message|>", "\xE2\x82", "\xAC"});
    EXPECT_EQ(run.streamedText(), "a\xEF\xBF\xBD\xE2\x82\xAC");
    ASSERT_EQ(run.blocks.size(), 2u);
    EXPECT_EQ(run.blocks[0].content, "a\xE2\x82");
    EXPECT_EQ(run.blocks[1].content, "\xE2\x82\xAC");
}

TEST(GptOssAssembler, RoundTripWithTheRenderer) {
    GptOssRenderer renderer([] { return std::string("2026-12-09"); });
    GptOssMessageAssembler fresh;
    fresh.primeFromRawPrompt(renderer.render({msg("user", "q")}, options(1)));
    EXPECT_FALSE(fresh.inBody());
    EXPECT_EQ(fresh.headerText(), "assistant");
    GptOssMessageAssembler answer;
    answer.primeFromRawPrompt(renderer.render({msg("user", "q")}, options(1, true, true)));
    EXPECT_EQ(answer.partType(), "message");
    EXPECT_EQ(answer.channel(), "final");
    GptOssMessageAssembler thinking;
    thinking.primeFromRawPrompt(renderer.thinkingPrefix());
    EXPECT_EQ(thinking.partType(), "thought");

    // A generated call: its raw text goes back byte for byte and names the result.
    const auto run = runPrimed<GptOssMessageAssembler>(
        "<|start|>assistant", {" to=functions.lookup", "<|channel|>", "commentary json", "<|message|>", "{\"id\": 7}"});
    ASSERT_EQ(run.blocks.size(), 1u);
    const std::string raw = run.blocks[0].content;
    EXPECT_EQ(raw, "<|start|>assistant to=functions.lookup<|channel|>commentary json<|message|>{\"id\": 7}");
    RenderOptions next = options(1, false);
    next.priorToolCalls = json::array({{{"id", "toolu_0"}, {"raw", raw}}});
    EXPECT_EQ(renderer.render({msg("assistant", json::array({rawToolUse("toolu_0", raw)})), toolMessage("toolu_0", "found")},
                              next),
              raw + renderer.turnCloseFor("<|call|>") +
                  "<|start|>functions.lookup to=assistant<|channel|>commentary<|message|>\"found\"<|end|>"
                  "<|start|>assistant");
    // A call cut short resumes from its head up to the first "<|message|>".
    GptOssMessageAssembler resumed;
    resumed.primeFromRawPrompt(raw.substr(0, raw.find("<|message|>") + 11));
    EXPECT_EQ(resumed.partType(), "tool_call");
}

TEST(TolvAssembler, PrimingAndHeaders) {
    struct Case {
        std::string prompt;
        bool inBody;
        std::string channel;
        std::string partType;
    };
    const Case cases[] = {
        {"<|start|>assistant", false, "", "message"},
        {kTolvThinking, true, "self", "thought"},
        {"<|start|>assistant to=user<|message|>", true, "user", "message"},
        {"<|start|>assistant<|message|>", true, "", "message"},
        {"<|start|>assistant to=get_weather<|message|>", true, "get_weather", "tool_call"},
        {"<|start|>assistant to=functions.x\t<|message|>", true, "functions.x", "tool_call"},
        {"", true, "user", "message"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        TolvMessageAssembler assembler;
        assembler.primeFromRawPrompt(c.prompt);
        EXPECT_EQ(assembler.inBody(), c.inBody) << c.prompt;
        EXPECT_EQ(assembler.channel(), c.channel) << c.prompt;
        EXPECT_EQ(assembler.partType(), c.partType) << c.prompt;
        if (c.prompt.find("<|message|>") != std::string::npos) {
            EXPECT_TRUE(log.contains("[TolvAssembler] rawPrompt 가 메시지 머리로 끝남 → " + c.partType +
                                     " 본문에서 시작 (to=" + c.channel + ")\n"))
                << c.prompt;
        }
    }

    const std::pair<std::string, bool> headers[] = {
        {"", false}, {" \r\n", false}, {"assist", false}, {" assistant to=x ", false}, {"assistants", false},
        {"user", true}, {"tool x", true}, {"asx", true},
    };
    for (const auto& [header, foreign] : headers) {
        TolvMessageAssembler assembler;
        const auto run = runPieces(assembler, {"<|start|>", header});
        EXPECT_EQ(assembler.isForeignHeader(), foreign) << header;
    }
}

TEST(TolvAssembler, Scripts) {
    const std::string call = "<|start|>assistant to=get_weather<|message|>";
    const std::string block =
        "<atem:function_calls>\n<atem:invoke name=\"get_weather\">\n<atem:parameter name=\"city\">Paris"
        "</atem:parameter>\n</atem:invoke>\n";
    struct Case {
        const char* name;
        std::string prompt;
        std::vector<std::string> pieces;
        std::vector<Block> blocks;
        std::string streamedText;
        std::string streamedThinking;
    };
    const Case cases[] = {
        {"reasoning then a finished call", "<|start|>assistant",
         {" to=self", "<|message|>", "plan", "<|eom|>", "<|start|>", "assistant to=get_weather", "<|message|>", block,
          "</atem:function_calls>"},
         {{"thought", "self", "plan"}, {"tool_call", "get_weather", call + block + "</atem:function_calls>"}}, "",
         "plan"},
        {"an unfinished call is partial", call, {block},
         {{"tool_call", "get_weather", call + block, true}}, "", ""},
        {"an unfinished call is partial also at the turn end", call, {block, "<|eot|>"},
         {{"tool_call", "get_weather", call + block, true}}, "", ""},
        {"thinking prefix and the injected close", kTolvThinking,
         {"t", "<|eom|>", "<|start|>", "assistant to=user", "<|message|>", "a", "<|end_of_text|>", "z"},
         {{"thought", "self", "t"}, {"message", "user", "a"}}, "a", "t"},
        {"answer without recipient", "", {"Hello"}, {{"message", "user", "Hello"}}, "Hello", ""},
        {"the user's turn ends the assembly at once", "", {"<|start|>", "user", "<|message|>", "more"},
         {{"message", "user", ""}}, "", ""},
        {"earlier blocks are kept at a foreign header", "", {"Answer", "<|start|>", "user"},
         {{"message", "user", "Answer"}}, "Answer", ""},
        {"nothing generated", "<|start|>assistant", {}, {{"message", "user", ""}}, "", ""},
    };
    for (const Case& c : cases) {
        const AssemblyRun run = runPrimed<TolvMessageAssembler>(c.prompt, c.pieces);
        EXPECT_EQ(summary(run), c.blocks) << c.name;
        EXPECT_EQ(run.streamedText(), c.streamedText) << c.name;
        EXPECT_EQ(run.streamedThinking(), c.streamedThinking) << c.name;
    }

    // The foreign header returns without a further snapshot.
    LogCapture log;
    const auto stopped = runPrimed<TolvMessageAssembler>("", {"<|start|>", " user ", "never"});
    EXPECT_TRUE(log.contains("[TolvAssembler] assistant 가 아닌 메시지 머리(user) → 생성 종료\n"));
    EXPECT_EQ(stopped.snapshots.size(), 2u);
    EXPECT_EQ(stopped.snapshots.back().pieceCount, 2);
    const auto cut = runPrimed<TolvMessageAssembler>(call, {"<atem"});
    EXPECT_TRUE(log.contains("[TolvAssembler] tool 호출 도중 생성 종료 → partial tool_call\n"));
}

TEST(TolvAssembler, RoundTripWithTheRenderer) {
    TolvRenderer renderer([] { return std::string("2026-12-09"); });
    struct Case {
        RenderOptions options;
        bool inBody;
        std::string partType;
    };
    const Case cases[] = {
        {options(2), true, "thought"},
        {options(0), true, "message"},
        {options(1), false, "message"},
    };
    for (const Case& c : cases) {
        TolvMessageAssembler assembler;
        assembler.primeFromRawPrompt(renderer.render({msg("user", "q")}, c.options));
        EXPECT_EQ(assembler.inBody(), c.inBody);
        EXPECT_EQ(assembler.partType(), c.partType);
    }
    TolvMessageAssembler thinking;
    thinking.primeFromRawPrompt(renderer.thinkingPrefix());
    EXPECT_EQ(thinking.partType(), "thought");

    const auto run = runPrimed<TolvMessageAssembler>(
        "<|start|>assistant",
        {" to=lookup", "<|message|>", "<atem:function_calls>\n<atem:invoke name=\"lookup\">\n</atem:invoke>\n",
         "</atem:function_calls>", "<|eot|>"});
    ASSERT_EQ(run.blocks.size(), 1u);
    const std::string raw = run.blocks[0].content;
    EXPECT_FALSE(run.blocks[0].partial);
    RenderOptions next = options(1, false);
    next.priorToolCalls = json::array({{{"id", "toolu_0"}, {"raw", raw}}});
    EXPECT_EQ(renderer.render({msg("assistant", json::array({rawToolUse("toolu_0", raw)})), toolMessage("toolu_0", "ok")},
                              next),
              raw + renderer.turnEndToken() +
                  "<|start|>tool lookup<|message|><tool_output name=\"lookup\">\nok\n</tool_output><|eot|>"
                  "<|start|>assistant");
    // A call cut short resumes from its head up to the first "<|message|>".
    TolvMessageAssembler resumed;
    resumed.primeFromRawPrompt(raw.substr(0, raw.find("<|message|>") + 11));
    EXPECT_EQ(resumed.partType(), "tool_call");
    EXPECT_EQ(resumed.channel(), "lookup");
}

TEST(FamilyAssemblerFactory, KeysGiveTheFamiliesOwnAssemblers) {
    const std::pair<const char*, const std::type_info&> cases[] = {
        {"gemma4", typeid(Gemma4MessageAssembler)},
        {"gpt-oss", typeid(GptOssMessageAssembler)},
        {"tolv", typeid(TolvMessageAssembler)},
        {"tolv-wistrel", typeid(TolvMessageAssembler)},
    };
    for (const auto& [key, type] : cases) {
        LogCapture log;
        const auto assembler = createMessageAssembler(key, nullptr);
        const auto& made = *assembler;
        EXPECT_EQ(typeid(made), type) << key;
        EXPECT_EQ(log.text(), std::string("[Assembler] 사용할 어셈블러 타입: ") + key + "\n");
    }
}

}  // namespace
