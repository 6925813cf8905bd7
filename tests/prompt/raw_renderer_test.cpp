#include <gtest/gtest.h>

#include "prompt/raw_renderer.h"

using nlohmann::json;

namespace {

json msg(const std::string& role, const json& content) { return json{{"role", role}, {"content", content}}; }

TEST(RawRenderer, WritesOneLinePerMessageWithoutRolesOrTools) {
    RenderOptions withTools;
    withTools.tools = json::array({{{"name", "secret_tool"}}});
    withTools.think = 0;
    withTools.defaultSystem = true;

    struct Case {
        const char* name;
        MessageList messages;
        std::string expected;
    };
    const Case cases[] = {
        {"empty list", {}, ""},
        {"three turns", {msg("user", "a"), msg("assistant", "b"), msg("user", "c")}, "a\nb\nc\n"},
        {"system like any other", {msg("system", "s"), msg("developer", "d"), msg("tool", "t")}, "s\nd\nt\n"},
        {"empty text still a line", {msg("user", ""), json{{"role", "user"}}}, "\n\n"},
        {"text and image block",
         {msg("user", json::array({{{"type", "text"}, {"text", "look"}}, {{"type", "image"}}}))}, "look\n"},
        {"tool_use block",
         {msg("assistant", json::array({{{"type", "tool_use"}, {"name", "f"}, {"input", {{"x", 1}}}}}))},
         "{\"arguments\":{\"x\":1},\"name\":\"f\"}\n"},
    };
    RawRenderer raw;
    for (const auto& c : cases) {
        EXPECT_EQ(raw.render(c.messages, RenderOptions()), c.expected) << c.name;
        EXPECT_EQ(raw.render(c.messages, withTools), c.expected) << c.name;
    }
}

TEST(RawRenderer, ConversationJoinsHistoryAndUserTextWithoutAFinalLineFeed) {
    RawRenderer raw;
    const MessageList history = {msg("user", "a"), msg("assistant", "b"), json{{"role", "user"}}};
    EXPECT_EQ(raw.renderConversation(history, "c", "ignored system", RenderOptions()), "a\nb\n\nc");
    EXPECT_EQ(raw.renderConversation({}, "", "", RenderOptions()), "");

    // Only string contents are read here.
    EXPECT_THROW(raw.renderConversation({msg("user", json::array({{{"type", "text"}, {"text", "x"}}}))}, "c", "",
                                        RenderOptions()),
                 json::type_error);
    EXPECT_THROW(raw.renderConversation({json("not an object")}, "c", "", RenderOptions()), json::type_error);
}

}  // namespace
