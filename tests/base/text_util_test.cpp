#include "base/text_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "support/temp_dir.h"

namespace {

TEST(TextUtil, TrimWhitespace) {
    const std::pair<std::string, std::string> cases[] = {
        {" \ta b\r\n", "a b"}, {"", ""}, {" \t\r\n ", ""}, {"x", "x"}, {"  in  ner  ", "in  ner"}, {"\vv\v", "\vv\v"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(trimWhitespace(in), out) << in;
}

TEST(TextUtil, SplitAtColon) {
    struct Case { std::string in, head, tail; };
    const Case cases[] = {{"a:b:c", "a", "b:c"}, {":x", "", "x"}, {"none", "none", ""}, {"end:", "end", ""}, {"", "", ""}};
    for (const Case& c : cases) {
        auto [head, tail] = splitAtColon(c.in);
        EXPECT_EQ(head, c.head) << c.in;
        EXPECT_EQ(tail, c.tail) << c.in;
    }
}

TEST(TextUtil, StartsWithBothForms) {
    struct Case { const char* text; const char* prefix; bool expected; };
    const Case cases[] = {{"abc", "ab", true}, {"abc", "", true}, {"ab", "abc", false}, {"abc", "b", false}, {"", "", true}};
    for (const Case& c : cases) {
        EXPECT_EQ(startsWith(std::string(c.text), std::string(c.prefix)), c.expected) << c.text << "/" << c.prefix;
        EXPECT_EQ(startsWith(c.text, c.prefix), c.expected) << c.text << "/" << c.prefix;
    }
}

TEST(TextUtil, EndsWith) {
    struct Case { const char* text; const char* suffix; bool expected; };
    const Case cases[] = {{"abc", "bc", true}, {"abc", "", true}, {"bc", "abc", false}, {"abc", "b", false}, {"", "", true}};
    for (const Case& c : cases) EXPECT_EQ(endsWith(c.text, c.suffix), c.expected) << c.text << "/" << c.suffix;
}

TEST(TextUtil, ReadFileToStringTurnsCrLfIntoLf) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"a\r\nb\r\n", "a\nb\n"}, {"lone\rcr", "lone\rcr"}, {"end\r", "end\r"}, {std::string("n\0ul", 4), std::string("n\0ul", 4)},
    };
    for (const auto& [content, expected] : cases) {
        writeTextFile(dir.file("f"), content);
        EXPECT_EQ(readFileToString(dir.file("f")), expected);
    }
}

TEST(TextUtil, ReadFileToStringMissingFileThrowsWithPath) {
    try {
        readFileToString("/nonexistent/brisvane/file");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unable to open file: /nonexistent/brisvane/file");
    }
}

TEST(TextUtil, ReadFileToStringDirectoryIsAReadError) {
    TempDir dir;
    try {
        readFileToString(dir.path());
        FAIL() << "a directory read as text";
    } catch (const FileReadError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to read file: " + dir.path() + " (Is a directory)");
    }
}

TEST(TextUtil, NowMsIsWallClock) {
    const int64_t system = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LE(std::abs(nowMs() - system), 1000);
}

}  // namespace
