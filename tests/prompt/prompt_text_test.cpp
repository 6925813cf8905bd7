#include <gtest/gtest.h>

#include "prompt/prompt_text.h"

using nlohmann::json;

namespace {

struct ContentCase {
    const char* name;
    json message;
    std::string expected;
};

TEST(MessageContentText, FlattensEveryContentForm) {
    const ContentCase cases[] = {
        {"no content", json{{"role", "user"}}, ""},
        {"null content", json{{"content", nullptr}}, ""},
        {"number content", json{{"content", 5}}, ""},
        {"object content", json{{"content", {{"text", "x"}}}}, ""},
        {"not an object", json::array({1, 2}), ""},
        {"string content", json{{"content", "Hi there"}}, "Hi there"},
        {"text, image, text",
         json{{"content", json::array({{{"type", "text"}, {"text", "a"}},
                                       {{"type", "image"}, {"source", "x"}},
                                       {{"type", "text"}, {"text", "b"}}})}},
         "ab"},
        {"non-object elements skipped", json{{"content", json::array({1, "x", {{"type", "text"}, {"text", "t"}}})}},
         "t"},
        {"text block without text", json{{"content", json::array({{{"type", "text"}}})}}, ""},
        {"block without type", json{{"content", json::array({{{"text", "ignored"}}})}}, ""},
        {"tool_result string",
         json{{"content", json::array({{{"type", "tool_result"}, {"content", "42"}}})}}, "42"},
        {"tool_result text and image",
         json{{"content", json::array({{{"type", "tool_result"},
                                         {"content", json::array({{{"type", "text"}, {"text", "r1"}},
                                                                  {{"type", "image"}},
                                                                  {{"type", "text"}, {"text", "r2"}}})}}})}},
         "r1r2"},
        {"tool_result without content", json{{"content", json::array({{{"type", "tool_result"}}})}}, ""},
        {"tool_result number content",
         json{{"content", json::array({{{"type", "tool_result"}, {"content", 3}}})}}, ""},
        {"tool_use with input",
         json{{"content", json::array({{{"type", "tool_use"}, {"name", "get"}, {"input", {{"b", 1}, {"a", "é"}}}}})}},
         "{\"arguments\":{\"a\":\"é\",\"b\":1},\"name\":\"get\"}"},
        {"tool_use without input",
         json{{"content", json::array({{{"type", "tool_use"}, {"name", "now"}}})}},
         "{\"arguments\":{},\"name\":\"now\"}"},
        {"tool_use without name", json{{"content", json::array({{{"type", "tool_use"}}})}},
         "{\"arguments\":{},\"name\":\"\"}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(messageContentText(c.message), c.expected) << c.name;
    }
}

TEST(MessageContentText, WronglyTypedFieldsRaiseTheLibraryError) {
    const json cases[] = {
        json{{"content", json::array({{{"type", 7}}})}},
        json{{"content", json::array({{{"type", "text"}, {"text", 1}}})}},
        json{{"content", json::array({{{"type", "tool_use"}, {"name", false}}})}},
        json{{"content", json::array({{{"type", "tool_result"}, {"content", json::array({"bare"})}}})}},
    };
    for (const auto& message : cases) {
        EXPECT_THROW(messageContentText(message), json::type_error) << message.dump();
    }
    // Invalid UTF-8 in a tool call cannot be written as JSON.
    json bad = {{"content", json::array({{{"type", "tool_use"}, {"name", std::string("\xFF")}}})}};
    EXPECT_THROW(messageContentText(bad), json::type_error);
}

TEST(ToJsonSpaced, WritesBlanksAfterSeparatorsAndSortsKeys) {
    const std::pair<json, std::string> cases[] = {
        {json::object(), "{}"},
        {json::array(), "[]"},
        {json::array({1, json::array({2, 3}), json::object()}), "[1, [2, 3], {}]"},
        {json::parse(R"({"b": 1, "a": {"d": [], "c": null}})"), "{\"a\": {\"c\": null, \"d\": []}, \"b\": 1}"},
        {json("日本"), "\"日本\""},
        {json("q\"\\\n"), "\"q\\\"\\\\\\n\""},
        {json(true), "true"},
        {json(1.5), "1.5"},
        {json(std::string("a\xFF")), "\"a\xEF\xBF\xBD\""},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(toJsonSpaced(value), expected);

    json badKey = json::object();
    badKey[std::string("k\xFF")] = 1;
    EXPECT_THROW(toJsonSpaced(badKey), json::type_error);
}

TEST(ToJsonSpacedKeysFirst, PutsPresentFirstKeysInListOrder) {
    const json abc = {{"a", 1}, {"b", 2}, {"c", {{"y", 1}, {"x", 2}}}};
    EXPECT_EQ(toJsonSpacedKeysFirst(abc, {"c", "x"}), "{\"c\": {\"x\": 2, \"y\": 1}, \"a\": 1, \"b\": 2}");
    EXPECT_EQ(toJsonSpacedKeysFirst(abc, {}), "{\"a\": 1, \"b\": 2, \"c\": {\"x\": 2, \"y\": 1}}");
    EXPECT_EQ(toJsonSpacedKeysFirst(json(nullptr), {"a"}), "{}");
    EXPECT_EQ(toJsonSpacedKeysFirst(json::object(), {"a"}), "{}");
    for (const json& notObject : {json::array({1}), json::array(), json(3), json("s")}) {
        try {
            toJsonSpacedKeysFirst(notObject, {"a"});
            ADD_FAILURE() << notObject.dump();
        } catch (const json::invalid_iterator& e) {
            EXPECT_NE(std::string(e.what()).find("cannot use key() for non-object iterators"), std::string::npos);
        }
    }
}

TEST(ArgumentsText, ReadsStringsAsJsonWhenTheyParse) {
    const std::pair<json, std::string> cases[] = {
        {json(nullptr), "{}"},
        {json("{\"b\":1,\"a\":[1,2]}"), "{\"a\": [1, 2], \"b\": 1}"},
        {json("not json"), "not json"},
        {json("{\"a\":1} // comment"), "{\"a\":1} // comment"},
        {json(""), ""},
        {json("12"), "12"},
        {json{{"z", 1}, {"y", "t"}}, "{\"y\": \"t\", \"z\": 1}"},
        {json(7), "7"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(argumentsText(value), expected) << value.dump();
}

TEST(SmallHelpers, CommaAfterFirstAndUpperCase) {
    std::string out;
    bool needComma = false;
    for (const char* item : {"a", "b", "c"}) {
        appendCommaAfterFirst(needComma, out);
        out += item;
    }
    EXPECT_EQ(out, "a,b,c");

    EXPECT_EQ(toUpperAscii("string"), "STRING");
    EXPECT_EQ(toUpperAscii("aZ09_-"), "AZ09_-");
    // Bytes above 0x7F (here UTF-8 letters) stay as they are.
    EXPECT_EQ(toUpperAscii("é日ß\xFF"), "é日ß\xFF");
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::string upper = toUpperAscii(all);
    for (int b = 0; b < 256; ++b) {
        const char expected = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : static_cast<char>(b);
        EXPECT_EQ(upper[static_cast<size_t>(b)], expected) << b;
    }
}

TEST(NextMessageHasToolResults, ReadsTheFollowingMessage) {
    const MessageList messages = {
        json{{"role", "assistant"}, {"content", "calling"}},
        json{{"role", "tool"}, {"content", "r"}},
        json{{"role", "user"}, {"content", json::array({{{"type", "tool_result"}, {"content", "x"}}})}},
        json{{"role", "user"},
             {"content", json::array({{{"type", "tool_result"}, {"content", "x"}}, {{"type", "text"}, {"text", "t"}}})}},
    };
    EXPECT_TRUE(nextMessageHasToolResults(messages, 0));
    EXPECT_TRUE(nextMessageHasToolResults(messages, 1));
    EXPECT_FALSE(nextMessageHasToolResults(messages, 2));
}

}  // namespace
