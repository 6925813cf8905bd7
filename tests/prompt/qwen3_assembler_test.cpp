#include <gtest/gtest.h>

#include "prompt/qwen3_message_assembler.h"
#include "prompt/qwen3_renderer.h"
#include "prompt_test_util.h"

using nlohmann::json;

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
        out.push_back({b.metaType, b.content, b.partial});
    }
    return out;
}

AssemblyRun runQwen(bool qwen35, const std::string& prompt, const std::vector<std::string>& pieces) {
    std::unique_ptr<Qwen3FamilyAssembler> assembler;
    if (qwen35) {
        assembler = std::make_unique<Qwen35MessageAssembler>();
    } else {
        assembler = std::make_unique<Qwen3MessageAssembler>();
    }
    assembler->primeFromRawPrompt(prompt);
    return runPieces(*assembler, pieces);
}

TEST(Qwen3Assembler, PrimingFromTheEndOfThePrompt) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "message"},
        {"<|im_start|>assistant\n", "message"},
        {"<|im_start|>assistant\n<think>\n", "thought"},
        {"<|im_start|>assistant\n<think>", "thought"},
        {"<think> \t\r\n", "thought"},
        {"<|im_start|>assistant\n<think>\n\n</think>\n\n", "message"},
        {"<think>\nhalf a thought", "message"},
        {"<think>\n</think>\n<think>\n", "thought"},
        {"<|im_start|>assistant\n<tool_call>", "tool_call"},
        {"<think>\n<tool_call>", "tool_call"},
        {"<tool_call>\n", "message"},
    };
    for (const auto& [prompt, expected] : cases) {
        for (bool qwen35 : {false, true}) {
            LogCapture log;
            std::unique_ptr<Qwen3FamilyAssembler> assembler;
            if (qwen35) assembler = std::make_unique<Qwen35MessageAssembler>();
            else assembler = std::make_unique<Qwen3MessageAssembler>();
            assembler->primeFromRawPrompt(prompt);
            EXPECT_EQ(assembler->initialPartType(), expected) << prompt;
            const std::string tag = qwen35 ? "[Qwen35Assembler]" : "[Qwen3Assembler]";
            if (expected == "thought") {
                EXPECT_TRUE(log.contains(tag + " rawPrompt 가 <think> 로 끝남 → thought 모드 시작\n"));
            } else if (expected == "tool_call") {
                EXPECT_TRUE(log.contains(tag + " rawPrompt 가 <tool_call> 로 끝남 → tool_call 모드 시작\n"));
            } else {
                EXPECT_EQ(log.text(), "");
            }
        }
    }
}

// The renderer's thinking prefix, and a prompt cut inside a tool call, start
// the assembler where the model continues.
TEST(Qwen3Assembler, RoundTripWithTheRenderer) {
    for (bool qwen35 : {false, true}) {
        Qwen3Renderer renderer(qwen35);
        RenderOptions thinking;
        thinking.think = 2;
        const std::string prompt = renderer.render({json{{"role", "user"}, {"content", "Hi"}}}, thinking);
        EXPECT_EQ(prompt.substr(prompt.size() - renderer.thinkingPrefix().size()), renderer.thinkingPrefix());
        const auto run = runQwen(qwen35, prompt, {"Hmm", ".", "</think>", "Hello"});
        EXPECT_EQ(summary(run), (std::vector<Block>{{"thought", "Hmm."}, {"message", "Hello"}}));
        EXPECT_EQ(run.streamedThinking(), "Hmm.");
        EXPECT_EQ(run.streamedText(), "Hello");

        RenderOptions closed;
        closed.think = 0;
        const auto noThought =
            runQwen(qwen35, renderer.render({json{{"role", "user"}, {"content", "Hi"}}}, closed), {"Hello"});
        EXPECT_EQ(summary(noThought), (std::vector<Block>{{"message", "Hello"}}));

        std::string open, close;
        ASSERT_TRUE(renderer.toolCallMarkers(open, close));
        const auto resumed = runQwen(qwen35, "...<|im_start|>assistant\n" + open, {"{\"name\"", ": 1}", close, "ok"});
        EXPECT_EQ(summary(resumed), (std::vector<Block>{{"tool_call", "{\"name\": 1}"}, {"message", "ok"}}));
    }
}

// Scripts that behave alike for both classes, including every end path.
TEST(Qwen3Assembler, ScriptsSideBySide) {
    struct Row {
        const char* name;
        std::string prompt;
        std::vector<std::string> pieces;
        std::vector<Block> blocks;
    };
    const Row rows[] = {
        {"no pieces", "", {}, {}},
        {"text, call, text", "", {"I will", " check.", "<tool_call>", "{\"name\": \"f\"}", "</tool_call>", "Done"},
         {{"message", "I will check."}, {"tool_call", "{\"name\": \"f\"}"}, {"message", "Done"}}},
        {"thought then answer", "", {"<think>", "a", "b", "</think>", "c"}, {{"thought", "ab"}, {"message", "c"}}},
        {"text before a thought is packaged first", "", {"x", "<think>", "t", "</think>"},
         {{"message", "x"}, {"thought", "t"}}},
        {"closer in message state packages an empty thought", "", {"a", "</think>", "b"},
         {{"thought", ""}, {"message", "ab"}}},
        {"closer in tool_call state packages the call as thought", "", {"<tool_call>", "x", "</think>", "y"},
         {{"thought", "x"}, {"message", "y"}}},
        {"second opener empties the thought", "", {"<think>", "x", "<think>", "y", "</think>"}, {{"thought", "y"}}},
        {"empty tool call is packaged", "", {"<tool_call>", "</tool_call>"}, {{"tool_call", ""}}},
        {"marker inside a longer piece is text", "", {"a<think>b", "</think>"}, {{"thought", ""}, {"message", "a<think>b"}}},
        {"end of pieces inside a tool call", "", {"ok", "<tool_call>", "{\"na"},
         {{"message", "ok"}, {"tool_call", "{\"na", true}}},
        {"end of pieces inside a thought", "<think>\n", {"cut"}, {{"thought", "cut"}}},
        {"end token inside a thought", "<think>\n", {"cut", "<|im_end|>", "never read"}, {{"thought", "cut"}}},
        {"end token inside a tool call", "", {"<tool_call>", "{\"na", "<|im_end|>"}, {{"tool_call", "{\"na", true}}},
        {"end token after text", "", {"a", "b", "<|im_start|>", "c"}, {{"message", "ab"}}},
        {"end token after a thought and text", "", {"<think>", "t", "</think>", "a", "<|im_end|>"},
         {{"thought", "t"}, {"message", "a"}}},
        {"end-of-text is not an end token piece", "", {"a", "<|endoftext|>"}, {{"message", "a<|endoftext|>"}}},
    };
    for (const auto& row : rows) {
        for (bool qwen35 : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (qwen35 ? " (qwen35)" : " (qwen3)"));
            const auto run = runQwen(qwen35, row.prompt, row.pieces);
            EXPECT_EQ(summary(run), row.blocks);
            EXPECT_EQ(run.streamedText(), run.messageText());
            // Marker pieces never stream as thinking.
            for (const auto& s : run.snapshots) {
                if (s.partType == "thought") {
                    EXPECT_EQ(s.lastPiece.find("<"), std::string::npos) << s.lastPiece;
                }
            }
            // All blocks of a generation share its start.
            for (const auto& b : run.blocks) EXPECT_EQ(b.startedAtMs, run.snapshots.front().startedAtMs);
        }
    }
}

TEST(Qwen3Assembler, SnapshotsPerPiece) {
    const auto run = runQwen(false, "", {"a", "<think>", "t", "</think>", "b", "<tool_call>", "x", "</tool_call>"});
    // One snapshot per piece plus the end.
    ASSERT_EQ(run.snapshots.size(), 9u);
    const std::vector<std::string> partTypes = {"message", "message", "thought", "message", "message",
                                                "tool_call", "tool_call", "message", "message"};
    for (size_t i = 0; i < partTypes.size(); ++i) {
        EXPECT_EQ(run.snapshots[i].partType, partTypes[i]) << i;
        EXPECT_EQ(run.snapshots[i].pieceCount, static_cast<int64_t>(i + 1));
    }
    EXPECT_EQ(run.snapshots[0].textDelta, "a");
    EXPECT_EQ(run.snapshots[1].textDelta, "");
    EXPECT_EQ(run.snapshots[4].textDelta, "b");
    // Tokens count from the start of the generation.
    ASSERT_EQ(run.blocks.size(), 4u);
    EXPECT_EQ(run.blocks[0].tokens, 2u);  // packaged when "<think>" arrived
    EXPECT_EQ(run.blocks[1].tokens, 4u);
    EXPECT_EQ(run.blocks[3].tokens, 8u);

    // The end token's snapshot streams nothing, whatever was open.
    const auto cut = runQwen(true, "<think>\n", {"x", "<|im_end|>"});
    ASSERT_EQ(cut.snapshots.size(), 2u);
    EXPECT_EQ(cut.snapshots[1].lastPiece, "<|im_end|>");
    EXPECT_EQ(cut.snapshots[1].partType, "message");
    EXPECT_EQ(cut.snapshots[1].textDelta, "");
}

TEST(Qwen3Assembler, SplitCharactersAndBadBytesInTheAnswer) {
    const std::string text = "naïve 日本 😀";
    for (bool qwen35 : {false, true}) {
        const auto run = runQwen(qwen35, "", bytewise(text));
        EXPECT_EQ(run.streamedText(), text);
        EXPECT_EQ(summary(run), (std::vector<Block>{{"message", text}}));

        const auto bad = runQwen(qwen35, "", {"a", "\xFF", "b", "<|im_end|>"});
        EXPECT_EQ(bad.streamedText(), "a\xEF\xBF\xBD" "b");
        EXPECT_EQ(bad.blocks.at(0).content, "a\xFF" "b");

        const auto cut = runQwen(qwen35, "", {"a", "\xE6\x97"});
        EXPECT_EQ(cut.streamedText(), "a\xEF\xBF\xBD");
    }
}

TEST(Qwen3Assembler, LogLines) {
    {
        LogCapture log;
        runQwen(false, "", {"<tool_call>", "{}", "</tool_call>", "<|im_end|>"});
        EXPECT_TRUE(log.contains("[Qwen3Assembler] 종료 토큰 감지: <|im_end|> → 생성 중지\n"));
        EXPECT_FALSE(log.contains("qwen35:tool_call:"));
    }
    {
        LogCapture log;
        runQwen(true, "", {"<tool_call>", "<function=f>", "</tool_call>", "<|im_start|>"});
        EXPECT_TRUE(log.contains("qwen35:tool_call:<function=f>\n"));
        EXPECT_TRUE(log.contains("[Qwen35Assembler] 종료 토큰 감지: <|im_start|> → 생성 중지\n"));
    }
    {
        LogCapture log;
        runQwen(false, "", {"<tool_call>", "{"});
        EXPECT_TRUE(log.contains("[Qwen3Assembler] 생성 종료 — tool_call 버퍼 미완성, partial tool_call 로 패키징\n"));
        runQwen(false, "<think>", {"t"});
        EXPECT_TRUE(log.contains("[Qwen3Assembler] 생성 종료 — thought 버퍼 미완성, thought 로 패키징\n"));
    }
    {
        LogCapture log;
        runQwen(true, "", {"<tool_call>", "{"});
        EXPECT_TRUE(log.contains("[Qwen35Assembler] tool 호출 도중 생성 종료 → partial tool_call 로 패키징\n"));
        runQwen(true, "<think>", {"t"});
        EXPECT_TRUE(log.contains("[Qwen35Assembler] 생각 도중 생성 종료 → 잘린 생각을 thought 로 패키징\n"));
    }
}

}  // namespace
