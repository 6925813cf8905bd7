#include "base/json_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nested(std::size_t levels, const std::string& open, const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < levels; ++i) text += open;
    text += "0";
    for (std::size_t i = 0; i < levels; ++i) text += close;
    return text;
}

std::string objectWithKeys(std::size_t keys) {
    std::string text = "{";
    for (std::size_t i = 0; i < keys; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
    return text + "}";
}

std::string arrayOfZeros(std::size_t items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items; ++i) text += i ? ",0" : "0";
    return text + "]";
}

// Texts within the bounds come out exactly as the library's own parse gives
// them, for both kinds, key order and repeated keys included.
TEST(JsonParse, WithinBoundsEqualsTheLibraryParse) {
    const char* texts[] = {
        "null", "true", "-12", "18446744073709551615", "1.5e3", "\"caf\\u00e9\"", "[]", "{}",
        R"({"b":1,"a":[1,{"z":null,"y":[true,false]}],"c":"x"})",
        R"({"b":1,"a":2,"b":3})",
        " [ 1 , [ 2 , [ 3 ] ] ] ",
    };
    for (const char* text : texts) {
        EXPECT_EQ(parseJson(text), nlohmann::json::parse(text)) << text;
        EXPECT_EQ(parseOrderedJson(text).dump(), nlohmann::ordered_json::parse(text).dump()) << text;
    }
    const std::string commented = "/* head */ {\"a\": 1, // line\n \"b\": [2]}";
    EXPECT_EQ(parseJson(commented, JsonComments::Ignored), nlohmann::json::parse(commented, nullptr, true, true));
    EXPECT_EQ(parseOrderedJson(commented, JsonComments::Ignored).dump(), "{\"a\":1,\"b\":[2]}");
}

// Anything that is not one JSON document is a parse_error, numbers beyond
// the double range and refused comments included.
TEST(JsonParse, BadTextsThrowParseError) {
    const char* texts[] = {"", "   ", "{", "[1,]", "{\"a\" 1}", "1 2", "nul", "\"\\x\"", "1e999", "-1e999",
                           "/* c */ 1", "[\"\xff\"]"};
    for (const char* text : texts) {
        EXPECT_THROW(parseJson(text), nlohmann::json::parse_error) << text;
        EXPECT_THROW(parseOrderedJson(text), nlohmann::json::parse_error) << text;
        try {
            parseJson(text);
        } catch (const nlohmann::json::parse_error& e) {
            EXPECT_EQ(invalidJsonMessage(e), "Invalid JSON") << text;
        }
    }
}

// Each bound admits its last value and refuses the next, for both kinds,
// with a JsonLimitError whose reason names the bound. The deep texts are far
// beyond what a thread's stack survives when walked recursively.
TEST(JsonParse, BoundsRefuseOneBeyondTheLimit) {
    struct Case { std::string within, beyond, reason; };
    const Case cases[] = {
        {nested(kJsonMaxDepth, "[", "]"), nested(kJsonMaxDepth + 1, "[", "]"), "nesting deeper than 256 levels"},
        {nested(kJsonMaxDepth, "{\"a\":", "}"), nested(kJsonMaxDepth + 1, "{\"a\":", "}"),
         "nesting deeper than 256 levels"},
        {nested(kJsonMaxDepth - 1, "[", "]"), std::string(200000, '['), "nesting deeper than 256 levels"},
        {objectWithKeys(kJsonMaxKeysPerObject), objectWithKeys(kJsonMaxKeysPerObject + 1),
         "an object with more than 10000 keys"},
        {arrayOfZeros(kJsonMaxValues - 1), arrayOfZeros(kJsonMaxValues), "more than 1000000 values"},
    };
    for (const Case& c : cases) {
        const std::string label = c.reason + " / " + c.beyond.substr(0, 12);
        EXPECT_NO_THROW(parseJson(c.within)) << label;
        EXPECT_NO_THROW(parseOrderedJson(c.within)) << label;
        for (int kind = 0; kind < 2; ++kind) {
            try {
                if (kind == 0) parseJson(c.beyond, JsonComments::Ignored);
                else parseOrderedJson(c.beyond);
                ADD_FAILURE() << "accepted: " << label;
            } catch (const JsonLimitError& e) {
                EXPECT_EQ(e.reason(), c.reason);
                EXPECT_EQ(invalidJsonMessage(e), "Invalid JSON: " + c.reason);
            }
        }
    }
}

// Repeated keys count towards the per-object bound like new ones, and the
// insertion-ordered kind keeps the first place and the last value of each.
TEST(JsonParse, RepeatedKeysInABigOrderedObject) {
    std::string text = objectWithKeys(kJsonMaxKeysPerObject - 2);
    text.pop_back();
    text += ",\"k0\":7,\"k9997\":8}";
    const nlohmann::ordered_json parsed = parseOrderedJson(text);
    EXPECT_EQ(parsed.size(), kJsonMaxKeysPerObject - 2);
    EXPECT_EQ(parsed.begin().key(), "k0");
    EXPECT_EQ(parsed.begin().value(), 7);
    EXPECT_EQ(parsed["k9997"], 8);
    EXPECT_EQ(parsed.dump(), nlohmann::ordered_json::parse(text).dump());
    text.pop_back();
    text += ",\"k1\":0}";
    EXPECT_THROW(parseOrderedJson(text), JsonLimitError);
}

}  // namespace
