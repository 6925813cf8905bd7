// The one UTF-8 check: it accepts exactly what the JSON writer accepts, holds
// back only tails that can still be completed, and replaces each ill-formed
// part by one U+FFFD.
#include "base/utf8.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

const std::string kR = "\xEF\xBF\xBD";

struct Case {
    std::string bytes;
    bool valid;
    size_t tail;          // incompleteUtf8Tail
    std::string replaced; // replaceInvalidUtf8
};

const Case kCases[] = {
    {"", true, 0, ""},
    {"plain ascii", true, 0, "plain ascii"},
    {std::string("a\0b", 3), true, 0, std::string("a\0b", 3)},
    {"\xC3\xA9", true, 0, "\xC3\xA9"},
    {"\xE2\x82\xAC", true, 0, "\xE2\x82\xAC"},
    {"\xF0\x9F\x98\x80", true, 0, "\xF0\x9F\x98\x80"},
    {"\xF4\x8F\xBF\xBF", true, 0, "\xF4\x8F\xBF\xBF"},    // U+10FFFF, the last code point
    {"\xEE\x80\x80", true, 0, "\xEE\x80\x80"},            // private use, not a surrogate
    {"ab\xE2", false, 1, "ab" + kR},                      // cut after the lead
    {"ab\xE2\x82", false, 2, "ab" + kR},
    {"\xF0\x9F\x98", false, 3, kR},
    {"\xC0\xAF", false, 0, kR + kR},                      // over-long "/"
    {"\xE0\x80\xAF", false, 0, kR + kR + kR},             // over-long, three bytes
    {"\xE0\x80", false, 0, kR + kR},                      // an over-long start is no tail
    {"\xF0\x8F\xBF\xBF", false, 0, kR + kR + kR + kR},    // over-long, four bytes
    {"\xED\xA0\x80", false, 0, kR + kR + kR},             // surrogate
    {"\xED\xA0", false, 0, kR + kR},                      // a surrogate start is no tail
    {"\xF4\x90\x80\x80", false, 0, kR + kR + kR + kR},    // above U+10FFFF
    {"\xF5\x80\x80\x80", false, 0, kR + kR + kR + kR},
    {"\xF8\x88\x80\x80\x80", false, 0, kR + kR + kR + kR + kR},
    {"\x80", false, 0, kR},
    {"a\x82", false, 0, "a" + kR},
    {"\xFF", false, 0, kR},
    {"\xE2\x82" "A", false, 0, kR + "A"},                 // broken off by ASCII: one part
    {"\xE2\xE2", false, 1, kR + kR},                      // the second lead may still complete
    {"a\xC3(", false, 0, "a" + kR + "("},
};

TEST(Utf8Test, ValidIsExactlyWhatTheJsonWriterAccepts) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
        bool written = true;
        try {
            (void)nlohmann::json(c.bytes).dump();
        } catch (const nlohmann::json::type_error&) {
            written = false;
        }
        EXPECT_EQ(written, c.valid) << "the writer disagrees";
    }
}

TEST(Utf8Test, OnlyACompletableTailIsHeldBack) {
    for (const Case& c : kCases) EXPECT_EQ(incompleteUtf8Tail(c.bytes), c.tail) << ::testing::PrintToString(c.bytes);
}

TEST(Utf8Test, EachIllFormedPartBecomesOneReplacement) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        const std::string out = replaceInvalidUtf8(c.bytes);
        EXPECT_EQ(out, c.replaced);
        EXPECT_TRUE(isValidUtf8(out));
    }
}

TEST(Utf8Test, ReleaseKeepsOnlyTheCompletableTail) {
    std::string pending;
    EXPECT_EQ(releaseUtf8(pending, "a\xE2"), "a");
    EXPECT_EQ(pending, "\xE2");
    EXPECT_EQ(releaseUtf8(pending, "\x82"), "");
    EXPECT_EQ(releaseUtf8(pending, "\xAC" "b"), "\xE2\x82\xAC" "b");
    EXPECT_EQ(pending, "");
    EXPECT_EQ(releaseUtf8(pending, "\xED\xA0"), kR + kR) << "a surrogate never completes";
    EXPECT_EQ(pending, "");
}

}  // namespace
