#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <typeinfo>

#include "prompt/buffered_tag_assembler.h"
#include "prompt/default_message_assembler.h"
#include "prompt/message_assembler.h"
#include "prompt/qwen3_message_assembler.h"
#include "prompt_test_util.h"

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

// Well-formed UTF-8 by the Unicode table of valid byte sequences.
bool isStrictUtf8(const std::string& text) {
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0, n = text.size();
    while (i < n) {
        unsigned char c = b[i];
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) len = 1;
        else if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            unsigned char d = b[i + k];
            if (k == 1 ? (d < lo || d > hi) : (d < 0x80 || d > 0xBF)) return false;
        }
        i += len;
    }
    return true;
}

// Feeds `pieces` through appendUtf8Delta and returns the delta of each, the
// end flush last.
std::vector<std::string> deltas(const std::vector<std::string>& pieces) {
    std::vector<std::string> out;
    std::string pending;
    AssemblingSnapshot snapshot;
    for (const auto& piece : pieces) {
        appendUtf8Delta(pending, piece, snapshot);
        out.push_back(snapshot.textDelta);
        EXPECT_LE(pending.size(), 3u);
    }
    snapshot.textDelta.clear();
    flushUtf8Delta(pending, snapshot);
    out.push_back(snapshot.textDelta);
    EXPECT_TRUE(pending.empty());
    return out;
}

TEST(Utf8Delta, ReleasesTheValidPrefixAndReplacesImpossibleBytes) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> expected;  // one per piece, then the end flush
    };
    const Case cases[] = {
        {"whole text", {"Hé"}, {"Hé", ""}},
        {"two-byte character split", {"\xC3", "\xA9"}, {"", "é", ""}},
        {"valid prefix before a split character", {"a\xC3", "\xA9" "b"}, {"a", "éb", ""}},
        {"four bytes over four pieces", {"\xF0", "\x9F", "\x98", "\x80"}, {"", "", "", "😀", ""}},
        {"impossible byte does not stop the text", {"a\xFF" "b", "c"}, {"a" + kFFFD + "b", "c", ""}},
        {"lone continuation byte", {"\x80", "ok"}, {kFFFD, "ok", ""}},
        {"broken sequence", {"\xE2\x82", "x"}, {"", kFFFD + "x", ""}},
        {"over-long form", {"\xC0\xAF"}, {kFFFD + kFFFD, ""}},
        {"surrogate", {"\xED\xA0\x80"}, {kFFFD + kFFFD + kFFFD, ""}},
        {"above U+10FFFF", {"\xF4\x90\x80\x80"}, {kFFFD + kFFFD + kFFFD + kFFFD, ""}},
        {"cut off at the end", {"ok\xE2\x82"}, {"ok", kFFFD}},
    };
    for (const auto& c : cases) EXPECT_EQ(deltas(c.pieces), c.expected) << c.name;
}

TEST(Utf8Delta, OutputIsWellFormedAndIndependentOfHowBytesAreSplit) {
    std::mt19937 random(20261210);
    const std::string alphabet[] = {"a", "é", "日", "😀", "\xFF", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F", "\xED\xA0"};
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int parts = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < parts; ++i) text += alphabet[random() % std::size(alphabet)];

        std::string whole;
        for (const auto& d : deltas({text})) whole += d;
        EXPECT_TRUE(isStrictUtf8(whole));

        std::vector<std::string> pieces;
        for (size_t at = 0; at < text.size();) {
            const size_t len = 1 + random() % 4;
            pieces.push_back(text.substr(at, len));
            at += len;
        }
        std::string split;
        for (const auto& d : deltas(pieces)) {
            EXPECT_TRUE(isStrictUtf8(d));
            split += d;
        }
        EXPECT_EQ(split, whole);
        if (isStrictUtf8(text)) {
            EXPECT_EQ(whole, text);
        }
    }
}

TEST(CreateMessageAssembler, MapsKeysAndWarnsForUnknownOnes) {
    struct Case {
        std::string key;
        const std::type_info& type;
        std::string log;
    };
    const std::string head = "[Assembler] 사용할 어셈블러 타입: ";
    const Case cases[] = {
        {"qwen3", typeid(Qwen3MessageAssembler), head + "qwen3\n"},
        {"qwen30", typeid(Qwen3MessageAssembler), head + "qwen30\n"},
        {"qwen35", typeid(Qwen35MessageAssembler), head + "qwen35\n[Assembler] Qwen35MessageAssembler 생성됨\n"},
        {"buffered_tag", typeid(BufferedTagAssembler),
         head + "buffered_tag\n[Assembler] buffered_tag: config 없음, 기본값 사용\n"},
        {"default", typeid(DefaultMessageAssembler), head + "default\n"},
        {"Qwen3", typeid(DefaultMessageAssembler),
         head + "Qwen3\n[Assembler] 알 수 없는 어셈블러 타입: Qwen3 → default 사용\n"},
        {"", typeid(DefaultMessageAssembler), head + "\n[Assembler] 알 수 없는 어셈블러 타입:  → default 사용\n"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        auto assembler = createMessageAssembler(c.key, nullptr);
        ASSERT_NE(assembler, nullptr);
        const auto& made = *assembler;
        EXPECT_EQ(typeid(made), c.type) << c.key;
        EXPECT_EQ(log.text(), c.log) << c.key;
    }

    // With a configuration the buffered-tag assembler takes its tags and
    // does not warn.
    LogCapture log;
    BufferedTagConfig tags{"[T]", "[/T]", "[C]", "[/C]"};
    auto tagged = createMessageAssembler("buffered_tag", &tags);
    EXPECT_EQ(log.text(), head + "buffered_tag\n");
    const auto run = runPieces(*tagged, {"x[T]y[/T]z"});
    ASSERT_EQ(run.blocks.size(), 3u);
    EXPECT_EQ(run.blocks[1].content, "y");

    const std::vector<std::string> chatml = {"<|im_end|>", "<|im_start|>", "<|endoftext|>"};
    EXPECT_EQ(createMessageAssembler("qwen3", nullptr)->stopStrings(), chatml);
    EXPECT_EQ(createMessageAssembler("qwen35", nullptr)->stopStrings(), chatml);
    EXPECT_TRUE(createMessageAssembler("default", nullptr)->stopStrings().empty());
    EXPECT_TRUE(createMessageAssembler("buffered_tag", nullptr)->stopStrings().empty());
}

TEST(DefaultAssembler, AllTextIsOneAnswer) {
    DefaultMessageAssembler assembler;
    assembler.primeFromRawPrompt("<think>\n");  // ignored
    const auto run = runPieces(assembler, {"Hel", "lo"});
    ASSERT_EQ(run.snapshots.size(), 3u);
    EXPECT_EQ(run.snapshots[0].textDelta, "Hel");
    EXPECT_EQ(run.snapshots[1].textDelta, "lo");
    EXPECT_EQ(run.snapshots[2].textDelta, "");
    EXPECT_EQ(run.snapshots[2].lastPiece, "");
    for (const auto& s : run.snapshots) EXPECT_EQ(s.partType, "message");
    ASSERT_EQ(run.blocks.size(), 1u);
    const ModelMessageT& block = run.blocks[0];
    EXPECT_EQ(block.content, "Hello");
    EXPECT_EQ(block.tokens, 3u);
    EXPECT_EQ(block.role, "assistant");
    EXPECT_EQ(block.channel, "message");
    EXPECT_EQ(block.metaType, "message");
    EXPECT_EQ(block.contentType, "text/plain");
    EXPECT_FALSE(block.partial);
    EXPECT_EQ(block.startedAtMs % 1000, 0);
    EXPECT_EQ(block.endedAtMs % 1000, 0);
    EXPECT_GE(block.endedAtMs, block.startedAtMs);
}

TEST(DefaultAssembler, SnapshotCountersAndEmptyGeneration) {
    DefaultMessageAssembler three;
    const auto run = runPieces(three, {"a", "b", "c"});
    EXPECT_EQ(run.snapshots.back().pieceCount, 4);
    EXPECT_EQ(run.blocks.at(0).tokens, 4u);
    for (size_t i = 0; i < run.snapshots.size(); ++i) {
        EXPECT_EQ(run.snapshots[i].pieceCount, static_cast<int64_t>(i + 1));
        EXPECT_EQ(run.snapshots[i].phase, 2);
        EXPECT_EQ(run.snapshots[i].role, "assistant");
        EXPECT_EQ(run.snapshots[i].startedAtMs, run.snapshots[0].startedAtMs);
    }

    DefaultMessageAssembler none;
    const auto empty = runPieces(none, {});
    ASSERT_EQ(empty.blocks.size(), 1u);
    EXPECT_EQ(empty.blocks[0].content, "");
    EXPECT_EQ(empty.blocks[0].tokens, 1u);

    // One bad byte, then more text: the live text goes on.
    DefaultMessageAssembler bad;
    const auto badRun = runPieces(bad, {"a", "\xFF", "b", "\xE2\x82"});
    EXPECT_EQ(badRun.snapshots[2].textDelta, "b");
    EXPECT_EQ(badRun.streamedText(), "a" + kFFFD + "b" + kFFFD);
    EXPECT_EQ(badRun.blocks[0].content, "a\xFF" "b\xE2\x82");
}

TEST(AssemblerHelpers, BlocksTakeTheirStampsFromTheSnapshot) {
    AssemblingSnapshot snapshot;
    EXPECT_EQ(snapshot.partType, "message");
    EXPECT_EQ(snapshot.phase, 2);
    EXPECT_EQ(snapshot.pieceCount, 0);
    EXPECT_EQ(snapshot.updatedAtMs, 0);
    EXPECT_EQ(snapshot.startedAtMs % 1000, 0);
    snapshot.partType = "thought";
    snapshot.pieceCount = (int64_t{1} << 32) + 7;
    snapshot.updatedAtMs = 5000;
    const ModelMessageT thought = makeModelMessage(snapshot, "thought", "t");
    EXPECT_EQ(thought.metaType, "thought");
    EXPECT_EQ(thought.tokens, 7u);
    EXPECT_EQ(thought.endedAtMs, 5000);
    EXPECT_FALSE(thought.partial);
    const ModelMessageT partial = makePartialToolCall(snapshot, "{\"na");
    EXPECT_EQ(snapshot.partType, "tool_call");
    EXPECT_EQ(partial.channel, "tool_call");
    EXPECT_EQ(partial.metaType, "tool_call");
    EXPECT_EQ(partial.contentType, "text/plain");
    EXPECT_TRUE(partial.partial);
}

TEST(Assemblers, CallbackExceptionsPassThrough) {
    for (const char* key : {"default", "buffered_tag", "qwen3", "qwen35"}) {
        auto assembler = createMessageAssembler(key, nullptr);
        EXPECT_THROW(assembler->assemble([](std::string&) -> bool { throw std::runtime_error("source"); },
                                         [](const AssemblingSnapshot&) {}),
                     std::runtime_error)
            << key;
        auto second = createMessageAssembler(key, nullptr);
        int calls = 0;
        EXPECT_THROW(second->assemble(
                         [&](std::string& piece) {
                             piece = std::string(64, 'x');
                             return ++calls < 100;
                         },
                         [](const AssemblingSnapshot&) { throw std::logic_error("snapshot"); }),
                     std::logic_error)
            << key;
    }
}

}  // namespace
