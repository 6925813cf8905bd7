// Which bytes the token loop holds back and which go out as U+FFFD.
#include <gtest/gtest.h>

#include "engine/utf8_piece.h"

namespace {

TEST(Utf8PieceTest, OnlyACompletableTailIsHeldBack) {
    const std::pair<std::string, size_t> cases[] = {
        {"", 0},
        {"abc", 0},
        {"\xE2\x82\xAC", 0},            // whole euro sign
        {"ab\xE2", 1},                  // lead of three, nothing yet
        {"ab\xE2\x82", 2},              // lead of three, one continuation
        {"\xF0\x9F\x98", 3},            // lead of four, two continuations
        {"\xF0\x9F\x98\x80", 0},        // whole
        {"a\x82", 0},                   // lone continuation: nothing can complete it
        {"a\xFF", 0},                   // never a lead byte
        {"\xE2\xE2", 1},                // the first lead is lost, the second may complete
        {"\x82\x82\x82", 0},
    };
    for (const auto& [text, tail] : cases) EXPECT_EQ(incompleteUtf8Tail(text), tail) << testing::PrintToString(text);
}

TEST(Utf8PieceTest, ImpossibleBytesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {"\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"a\xFF" "b", "a" + r + "b"},
        {"\xE2x", r + "x"},                      // a lead whose continuation never came
        {"\x82\xE2\x82\xAC", r + "\xE2\x82\xAC"},
        {"\xE2\x82", r + r},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(replaceBrokenUtf8(in), out) << testing::PrintToString(in);
}

}  // namespace
