// Terminal widths of UTF-8 text and the fitting of table cells.
#include <gtest/gtest.h>

#include "cli/display_width.h"

namespace {

std::string repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

const std::string kHan = "\xEA\xB0\x80";        // 가 U+AC00
const std::string kEllipsis = "\xE2\x80\xA6";   // …

TEST(DisplayWidth, CountsDoubleWidthRangesAndTheirEdges) {
    struct Case {
        uint32_t codePoint;
        int width;
    };
    const Case cases[] = {
        {'A', 1},     {0x10FF, 1},  {0x1100, 2},  {0x115F, 2},  {0x1160, 1},   {0x2E7F, 1},
        {0x2E80, 2},  {0x4E2D, 2},  {0x3042, 2},  {0xA4CF, 2},  {0xA4D0, 1},   {0xABFF, 1},
        {0xAC00, 2},  {0xD7A3, 2},  {0xD7A4, 1},  {0xF900, 2},  {0xFAFF, 2},   {0xFE30, 2},
        {0xFE4F, 2},  {0xFF01, 2},  {0xFF60, 2},  {0xFF61, 1},  {0xFFE0, 2},   {0xFFE6, 2},
        {0xFFE7, 1},  {0x1F2FF, 1}, {0x1F300, 2}, {0x1F600, 2}, {0x1FAFF, 2},  {0x1FB00, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(charDisplayWidth(c.codePoint), c.width) << std::hex << c.codePoint;

    EXPECT_EQ(displayWidth(""), 0);
    EXPECT_EQ(displayWidth("abc"), 3);
    EXPECT_EQ(displayWidth("\xED\x95\x9C\xEA\xB8\x80"), 4);        // 한글
    EXPECT_EQ(displayWidth("\xE4\xB8\xAD\xE6\x96\x87x"), 5);       // 中文x
    EXPECT_EQ(displayWidth("\xE3\x81\x82\xE3\x81\x84"), 4);        // あい
    EXPECT_EQ(displayWidth("\xF0\x9F\x98\x80!"), 3);               // 😀!
    EXPECT_EQ(displayWidth(kEllipsis), 1);
}

TEST(DisplayWidth, Utf8NextDecodesAndStepsOverBrokenBytes) {
    struct Case {
        std::string text;
        std::vector<uint32_t> codePoints;
    };
    const Case cases[] = {
        {"a\xC3\xA9", {'a', 0xE9}},
        {"\xF0\x9F\x98\x80", {0x1F600}},
        {"\x80x", {0x80, 'x'}},                  // stray continuation byte
        {"\xF8\xFF", {0xF8, 0xFF}},              // no lead byte at all
        {"\xEA\xB0", {0xEA, 0xB0}},              // cut by the end of the text
        {"\xE4\xB8\xAD\xF0\x9F", {0x4E2D, 0xF0, 0x9F}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> got;
        size_t pos = 0;
        while (pos < c.text.size()) got.push_back(utf8Next(c.text, &pos));
        EXPECT_EQ(got, c.codePoints);
        EXPECT_EQ(pos, c.text.size());
    }
}

TEST(DisplayWidth, PadToWidthFitsCellsByColumns) {
    struct Case {
        std::string text;
        int width;
        bool right;
        std::string expected;
    };
    const std::string ascii40 = repeat("m", 40);
    const Case cases[] = {
        // Five Hangul syllables take 10 columns: 12 blanks fill NAME (22).
        {repeat(kHan, 5), 22, false, repeat(kHan, 5) + std::string(12, ' ')},
        // Eleven fit exactly; twelve are cut to ten, "…" and one blank.
        {repeat(kHan, 11), 22, false, repeat(kHan, 11)},
        {repeat(kHan, 12), 22, false, repeat(kHan, 10) + kEllipsis + " "},
        // A 40-character file name keeps 29 characters and "…" in MODEL (30).
        {ascii40, 30, false, repeat("m", 29) + kEllipsis},
        {"131072", 6, true, "131072"},
        {"4096", 6, true, "  4096"},
        {"1234567", 6, true, "12345" + kEllipsis},
        {"", 3, false, "   "},
        {"text", 0, false, "text"},
        {"text", -2, true, "text"},
        {"ab", 1, false, kEllipsis},
        // An emoji that does not fit before the cut is left out whole.
        {"ab\xF0\x9F\x98\x80z", 4, false, "ab" + kEllipsis + " "},
        {"\xE4\xB8\xAD\xE6\x96\x87\xE3\x81\x82", 5, true, "\xE4\xB8\xAD\xE6\x96\x87" + kEllipsis},
    };
    for (const Case& c : cases) {
        const std::string fitted = padToWidth(c.text, c.width, c.right);
        EXPECT_EQ(fitted, c.expected) << c.text << " in " << c.width;
        if (c.width > 0) {
            EXPECT_EQ(displayWidth(fitted), c.width) << c.text;
        }
    }
}

}  // namespace
