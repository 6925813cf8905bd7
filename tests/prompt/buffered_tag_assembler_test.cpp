#include <gtest/gtest.h>

#include "base/utf8.h"
#include "prompt/buffered_tag_assembler.h"
#include "prompt_test_util.h"

namespace {

struct Expected {
    std::string metaType;
    std::string content;
};

std::vector<Expected> summary(const AssemblyRun& run) {
    std::vector<Expected> out;
    for (const auto& b : run.blocks) {
        EXPECT_EQ(b.channel, b.metaType);
        EXPECT_FALSE(b.partial);
        out.push_back({b.metaType, b.content});
    }
    return out;
}

bool operator==(const Expected& a, const Expected& b) { return a.metaType == b.metaType && a.content == b.content; }
std::ostream& operator<<(std::ostream& os, const Expected& e) { return os << e.metaType << ":" << e.content; }

AssemblyRun runDefaultTags(const std::vector<std::string>& pieces) {
    BufferedTagAssembler assembler{BufferedTagConfig()};
    return runPieces(assembler, pieces);
}

TEST(BufferedTagAssembler, OpensAndClosesAThoughtWithinOnePiece) {
    const auto run = runDefaultTags({"<think>ab</think>cd"});
    EXPECT_EQ(summary(run), (std::vector<Expected>{{"thought", "ab"}, {"message", "cd"}}));
    EXPECT_EQ(run.streamedText(), "cd");
}

TEST(BufferedTagAssembler, AThoughtStreamsPieceByPieceWithoutTags) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> deltas;
        std::string message;
    } cases[] = {
        {"one piece each", {"<think>", "a", "b", "c", "</think>", "x"}, {"a", "b", "c"}, "x"},
        {"tag and text together", {"<think>ab", "cd</think>ef"}, {"ab", "cd"}, "ef"},
        {"closing tag split", {"<think>", "ab</th", "ink>cd"}, {"ab"}, "cd"},
        {"a near-tag is text", {"<think>", "a</", "b", "</think>"}, {"a", "</b"}, ""},
        {"character split", {"<think>", "\xE2\x82", "\xAC", "</think>"}, {"\xE2\x82\xAC"}, ""},
        {"unclosed thought", {"<think>", "abc", "</thi"}, {"abc", "</thi"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runDefaultTags(c.pieces);
        EXPECT_EQ(run.thoughtDeltas(), c.deltas);
        EXPECT_EQ(run.messageText(), c.message);
    }
}

// A reply with every kind of block, cut into pieces of every size: tags
// split anywhere are still found, and the streamed text is the answer.
TEST(BufferedTagAssembler, FindsTagsSplitAtEveryByte) {
    const std::string reply =
        "Hello é <think>deep 日本 thought</think>The answer is 42, which is long enough to be released early."
        "<tool_call>{\"name\": \"f\"}</tool_call>bye 😀";
    const std::vector<Expected> expected = {
        {"message", "Hello é "},
        {"thought", "deep 日本 thought"},
        {"message", "The answer is 42, which is long enough to be released early."},
        {"tool_call", "{\"name\": \"f\"}"},
        {"message", "bye 😀"},
    };
    for (size_t size = 1; size <= reply.size(); ++size) {
        std::vector<std::string> pieces;
        for (size_t at = 0; at < reply.size(); at += size) pieces.push_back(reply.substr(at, size));
        const auto run = runDefaultTags(pieces);
        EXPECT_EQ(summary(run), expected) << "piece size " << size;
        EXPECT_EQ(run.streamedText(), run.messageText()) << "piece size " << size;
        EXPECT_EQ(run.streamedThinking(), "deep 日本 thought") << "piece size " << size;
        for (const auto& s : run.snapshots) {
            EXPECT_EQ(s.textDelta.find('<'), std::string::npos) << "piece size " << size;
            EXPECT_TRUE(isValidUtf8(s.thoughtDelta)) << "piece size " << size;
        }
    }
}

TEST(BufferedTagAssembler, ConsumesEveryTagOfAPieceEarliestFirst) {
    const auto many = runDefaultTags({"a<think>b</think>c<think>d</think>e", "f"});
    EXPECT_EQ(summary(many), (std::vector<Expected>{
                                 {"message", "a"}, {"thought", "b"}, {"message", "c"}, {"thought", "d"}, {"message", "ef"}}));
    // All of them as soon as their piece arrives, not one per later pull.
    for (size_t i = 0; i + 1 < many.blocks.size(); ++i) EXPECT_EQ(many.blocks[i].tokens, 1u) << i;

    // A tool call written before a thought in the same piece is not released
    // as text just because thought tags are looked for first.
    const auto order = runDefaultTags({"<tool_call>x</tool_call><think>y</think>"});
    EXPECT_EQ(summary(order), (std::vector<Expected>{{"tool_call", "x"}, {"thought", "y"}}));
    EXPECT_EQ(order.streamedText(), "");

    // Tags that only arrive at the very end are consumed too.
    const auto last = runDefaultTags({"x", "<tool_call>", "{}", "</tool_call>"});
    EXPECT_EQ(summary(last), (std::vector<Expected>{{"message", "x"}, {"tool_call", "{}"}}));
}

TEST(BufferedTagAssembler, HoldsShortTextBackUntilTheEnd) {
    const auto run = runDefaultTags({"short ", "text"});
    ASSERT_EQ(run.snapshots.size(), 1u);  // only the final one
    EXPECT_EQ(run.snapshots[0].textDelta, "short text");
    EXPECT_EQ(run.snapshots[0].pieceCount, 3);
    EXPECT_EQ(summary(run), (std::vector<Expected>{{"message", "short text"}}));

    const auto none = runDefaultTags({});
    EXPECT_TRUE(none.blocks.empty());
    EXPECT_EQ(none.snapshots.size(), 1u);
}

TEST(BufferedTagAssembler, ReleasesAllButTheLongestTagOnceOverTheLimit) {
    BufferedTagAssembler assembler{BufferedTagConfig()};
    EXPECT_EQ(assembler.holdBackLimit(), 40u);
    const std::string text(41, 'x');
    const auto run = runPieces(assembler, {text, "y"});
    ASSERT_EQ(run.snapshots.size(), 2u);
    EXPECT_EQ(run.snapshots[0].textDelta, std::string(41 - 12, 'x'));
    EXPECT_EQ(run.snapshots[1].textDelta, std::string(12, 'x') + "y");
}

TEST(BufferedTagAssembler, UnclosedBlocksAndStrayClosers) {
    EXPECT_EQ(summary(runDefaultTags({"a<think>never closed"})),
              (std::vector<Expected>{{"message", "a"}, {"thought", "never closed"}}));
    EXPECT_EQ(summary(runDefaultTags({"<tool_call>{\"na"})), (std::vector<Expected>{{"tool_call", "{\"na"}}));
    EXPECT_EQ(summary(runDefaultTags({"<think>", "</think>"})), (std::vector<Expected>{{"thought", ""}}));
    // Closers that do not fit the mode are text, openers inside a block too.
    EXPECT_EQ(summary(runDefaultTags({"x</think>y</tool_call>"})),
              (std::vector<Expected>{{"message", "x</think>y</tool_call>"}}));
    EXPECT_EQ(summary(runDefaultTags({"<think>a<tool_call>b</think>"})),
              (std::vector<Expected>{{"thought", "a<tool_call>b"}}));
}

TEST(BufferedTagAssembler, CustomAndEmptyTags) {
    auto custom = makeBufferedTagAssembler("[T]", "[/T]", "[C]", "[/C]");
    const auto run = runPieces(*custom, {"a[", "T]b[/", "T][C]c[/C]d<think>"});
    EXPECT_EQ(summary(run), (std::vector<Expected>{
                                {"message", "a"}, {"thought", "b"}, {"tool_call", "c"}, {"message", "d<think>"}}));
    EXPECT_EQ(static_cast<BufferedTagAssembler&>(*custom).holdBackLimit(), 2u * 4u + 16u);

    // An empty tag never matches (it would match everywhere and loop).
    BufferedTagConfig partly;
    partly.thinkOpen = "";
    BufferedTagAssembler assembler(partly);
    const auto plain = runPieces(assembler, {"a<tool_call>b</tool_call>c"});
    EXPECT_EQ(summary(plain), (std::vector<Expected>{{"message", "a"}, {"tool_call", "b"}, {"message", "c"}}));
}

TEST(BufferedTagAssembler, ThoughtSnapshotsAndSplitCharacters) {
    // The release point may fall inside a character: it is streamed whole.
    std::string text = std::string(27, 'x') + "日本語";  // 36 bytes
    text += std::string(10, 'y');
    const auto run = runDefaultTags({text, "z"});
    for (const auto& s : run.snapshots) EXPECT_TRUE(isValidUtf8(s.textDelta)) << s.textDelta;
    EXPECT_EQ(run.streamedText(), text + "z");

    const auto thought = runDefaultTags({"<think>", std::string(50, 't'), "</think>"});
    ASSERT_EQ(thought.blocks.size(), 1u);
    for (const auto& s : thought.snapshots) EXPECT_EQ(s.textDelta, "");
}

}  // namespace
