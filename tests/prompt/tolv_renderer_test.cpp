#include <gtest/gtest.h>

#include <cstring>

#include "family_test_util.h"
#include "prompt/tolv_renderer.h"
#include "prompt/tolv_tools.h"

using nlohmann::json;
using namespace family_test;

namespace {

const std::string kIntro = kTolvToolIntroduction;
const std::string kExample = kTolvToolExample;
const std::string kDefaultSystem =
    "<|start|>system<|message|>You are a helpful AI assistant.\nKnowledge cutoff: 2026-01-04.\n"
    "Current date: 2026-12-09.";
const std::string kPlainRecipients = "# Valid recipients: \"self\", \"user\".";

const json kWeatherTool = json::parse(R"({"type": "function", "function": {"name": "get_weather",
  "description": "Get weather", "parameters": {"type": "object", "required": ["city"],
  "properties": {"city": {"type": "string"}}}}})");
const std::string kWeatherPrompt =
    kIntro + "{\"name\": \"get_weather\", \"description\": \"\"}\n// Function schemas\n{\"name\": \"get_weather\", "
             "\"description\": \"Get weather\", \"parameters\": {\"type\": \"object\", \"properties\": {\"city\": "
             "{\"type\": \"string\"}}, \"required\": [\"city\"]}}" +
    kExample;

std::string render(const MessageList& messages, const RenderOptions& o) {
    return TolvRenderer([] { return std::string("2026-12-09"); }).render(messages, o);
}

TEST(TolvTools, FixedTextsHaveTheirLengths) {
    EXPECT_EQ(std::strlen(kTolvToolIntroduction), 673u);
    EXPECT_EQ(std::strlen(kTolvToolExample), 583u);
    EXPECT_EQ(kIntro.substr(kIntro.size() - 17), "// Tool metadata\n");
    EXPECT_EQ(kExample.substr(0, 2), "\n\n");
    EXPECT_EQ(kExample.substr(kExample.size() - 22), "</atem:function_calls>");
}

TEST(TolvRenderer, WorkedExampleOverTwoRequests) {
    RenderOptions first = options(1);
    first.tools = json::array({kWeatherTool});
    first.hasTools = true;
    EXPECT_EQ(render({msg("user", "Weather in Paris?")}, first),
              kDefaultSystem + "\n\nReasoning strength: high.\n\n" + kWeatherPrompt +
                  "\n\n# Valid recipients: \"self\", \"get_weather.*\", \"user\".<|eot|>"
                  "<|start|>user<|message|>Weather in Paris?<|eot|><|start|>assistant");

    RenderOptions second = options(1, false);
    second.hasTools = true;
    const json reply = {{"role", "assistant"},
                        {"thinking", "Think."},
                        {"tool_calls", json::array({{{"id", "call_1"},
                                                     {"function", {{"name", "get_weather"},
                                                                   {"arguments", {{"city", "Paris"}}}}}}})}};
    EXPECT_EQ(render({reply, toolMessage("call_1", "Sunny")}, second),
              "<|start|>assistant to=self<|message|>Think.<|eom|><|start|>assistant to=get_weather<|message|>"
              "<atem:function_calls>\n<atem:invoke name=\"get_weather\">\n<atem:parameter name=\"city\">Paris"
              "</atem:parameter>\n</atem:invoke>\n</atem:function_calls><|eot|>"
              "<|start|>tool get_weather<|message|><tool_output name=\"get_weather\">\nSunny\n</tool_output><|eot|>"
              "<|start|>assistant");
}

TEST(TolvRenderer, StrengthAndRecipientMatrix) {
    struct Case {
        int think;
        bool noThinking;
        bool tools;
        bool hasTools;
        std::string strength;
        std::string suffix;
    };
    const std::string toUser = " to=user<|message|>";
    const std::string toSelf = " to=self<|message|>";
    const Case cases[] = {
        {0, false, false, false, "low", toUser},
        {-1, false, false, false, "low", toUser},
        {1, false, false, false, "high", ""},
        {2, false, false, false, "xhigh", toSelf},
        {5, false, false, false, "xhigh", toSelf},
        {2, true, false, false, "low", toUser},
        {1, true, true, true, "low", toUser},
        {0, false, true, true, "low", ""},
        {2, false, true, false, "xhigh", ""},
        // Tools declared earlier in this context: no tool prompt, recipient still open.
        {0, false, false, true, "low", ""},
        {2, false, false, true, "xhigh", ""},
    };
    for (const Case& c : cases) {
        RenderOptions o = options(c.think, true, c.noThinking);
        o.hasTools = c.hasTools;
        if (c.tools) o.tools = json::array({kWeatherTool});
        const std::string tools = c.tools ? "\n\n" + kWeatherPrompt : std::string();
        const std::string recipients =
            c.tools ? "# Valid recipients: \"self\", \"get_weather.*\", \"user\"." : kPlainRecipients;
        EXPECT_EQ(render({msg("user", "q")}, o), kDefaultSystem + "\n\nReasoning strength: " + c.strength + "." +
                                                     tools + "\n\n" + recipients +
                                                     "<|eot|><|start|>user<|message|>q<|eot|><|start|>assistant" +
                                                     c.suffix)
            << c.think << " " << c.noThinking << " " << c.tools << " " << c.hasTools;
    }
}

TEST(TolvRenderer, SystemMessages) {
    const std::string tail = "<|start|>user<|message|>q<|eot|><|start|>assistant";
    // No system message in a later context: only the history.
    EXPECT_EQ(render({msg("user", "q")}, options(1, false)), tail);
    // Tools in a later context: the tool prompt alone.
    RenderOptions later = options(1, false);
    later.tools = json::array({kWeatherTool});
    EXPECT_EQ(render({msg("user", "q")}, later),
              "<|start|>system<|message|>" + kWeatherPrompt +
                  "\n\n# Valid recipients: \"self\", \"get_weather.*\", \"user\".<|eot|>" + tail);
    // A client's system text replaces the default text, also in a later context.
    EXPECT_EQ(render({msg("system", "Be terse."), msg("user", "q")}, options(0, false)),
              "<|start|>system<|message|>Be terse.\n\nReasoning strength: low.\n\n" + kPlainRecipients + "<|eot|>" +
                  tail + " to=user<|message|>");
    EXPECT_EQ(render({msg("system", ""), msg("user", "q")}, options(1, false)),
              "<|start|>system<|message|>\n\nReasoning strength: high.\n\n" + kPlainRecipients + "<|eot|>" + tail);
    // A text that names the strength itself, in any letter case, gets no line.
    EXPECT_EQ(render({msg("developer", "Use REASONING STRENGTH: low"), msg("user", "q")}, options(2)),
              "<|start|>system<|message|>Use REASONING STRENGTH: low\n\n" + kPlainRecipients + "<|eot|>" + tail +
                  " to=self<|message|>");
    // A system message in the middle is its own message; unknown roles vanish.
    EXPECT_EQ(render({msg("user", "a"), msg("system", "b"), msg("developer", "c"), msg("critic", "d")},
                     options(1, false)),
              "<|start|>user<|message|>a<|eot|><|start|>system<|message|>b<|eot|><|start|>system<|message|>c<|eot|>"
              "<|start|>assistant");
}

TEST(TolvRenderer, PastAssistantMessages) {
    const std::string rawCall =
        "<|start|>assistant to=lookup<|message|><atem:function_calls>\n<atem:invoke name=\"lookup\">\n"
        "</atem:invoke>\n</atem:function_calls>";
    struct Case {
        json message;
        std::string expected;
    };
    const Case cases[] = {
        {msg("assistant", "Hi"), "<|start|>assistant to=user<|message|>Hi<|eot|>"},
        // Only thinking: the reasoning, then an empty answer.
        {json{{"role", "assistant"}, {"thinking", "T"}},
         "<|start|>assistant to=self<|message|>T<|eom|><|start|>assistant to=user<|message|><|eot|>"},
        // Text and two calls: every call written, the last one ends the turn.
        {json{{"role", "assistant"},
              {"content", json::array({text("Let me check."), toolUse("u", "b", "{\"k\": [1, 2]}")})},
              {"tool_calls", json::array({{{"id", "t"}, {"name", "a"}, {"arguments", "not json"}}})}},
         "<|start|>assistant to=user<|message|>Let me check.<|eom|>"
         "<|start|>assistant to=a<|message|><atem:function_calls>\n<atem:invoke name=\"a\">\n</atem:invoke>\n"
         "</atem:function_calls><|eom|>"
         "<|start|>assistant to=b<|message|><atem:function_calls>\n<atem:invoke name=\"b\">\n"
         "<atem:parameter name=\"k\">[1, 2]</atem:parameter>\n</atem:invoke>\n</atem:function_calls><|eot|>"},
        // A generated call's raw text is copied byte for byte.
        {msg("assistant", json::array({json{{"type", "thinking"}, {"thinking", "plan"}}, rawToolUse("r", rawCall)})),
         "<|start|>assistant to=self<|message|>plan<|eom|>" + rawCall + "<|eot|>"},
        // A raw text without a message header is wrapped in one.
        {msg("assistant", json::array({rawToolUse("r", "<atem:invoke name=\"x\">")})),
         "<|start|>assistant to=x<|message|><atem:invoke name=\"x\"><|eot|>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render({c.message}, options(1, false)), c.expected + "<|start|>assistant") << c.message.dump();
    }
}

TEST(TolvRenderer, ToolResultNames) {
    const auto output = [](const std::string& name, const std::string& text) {
        return "<|start|>tool " + name + "<|message|><tool_output name=\"" + name + "\">\n" + text +
               "\n</tool_output><|eot|>";
    };
    RenderOptions o = options(1, false);
    o.priorToolCalls = json::array({{{"id", "p"}, {"raw", "<|start|>assistant to=prior<|message|>"}}});
    const MessageList messages = {
        // The map is built from the whole request first: two names, no fallback.
        toolMessage("zz", "before any call"),
        msg("assistant", json::array({toolUse("c1", "first", json::object())})),
        toolMessage("zz", "latest call"),
        json{{"role", "tool"}, {"tool_use_id", "p"}, {"content", "by tool_use_id"}},
        msg("user", json::array({toolResult("c1", "block"), json{{"type", "tool_result"}, {"name", "n"}, {"content", "<x>"}}})),
        msg("assistant", "answer"),
        toolMessage("zz", "two mapped names"),
    };
    EXPECT_EQ(render(messages, o),
              output("unknown", "before any call") +
                  "<|start|>assistant to=first<|message|><atem:function_calls>\n<atem:invoke name=\"first\">\n"
                  "</atem:invoke>\n</atem:function_calls><|eot|>" +
                  output("first", "latest call") + output("prior", "by tool_use_id") + output("first", "block") +
                  output("n", "<x>") + "<|start|>assistant to=user<|message|>answer<|eot|>" +
                  output("unknown", "two mapped names") + "<|start|>assistant");
    // With one mapped name, an unmatched id takes it.
    EXPECT_EQ(render({toolMessage("zz", "x")}, o), output("prior", "x") + "<|start|>assistant");
    // A user message that mixes text and results is an ordinary user turn.
    EXPECT_EQ(render({msg("user", json::array({text("see "), toolResult("c", "r")}))}, options(1, false)),
              "<|start|>user<|message|>see r<|eot|><|start|>assistant");
}

TEST(TolvTools, PromptNamespacesAndRecipients) {
    const json lookup = json::parse(R"({"type": "function", "function": {"name": "functions.lookup",
        "description": "Find a record", "parameters": {"required": ["id"], "type": "object",
        "properties": {"id": {"type": "integer"}}}}})");
    const json note = json::parse(R"({"name": "functions.note"})");
    EXPECT_EQ(tolvToolPrompt(json::array({lookup, note})),
              kIntro + "{\"name\": \"functions\", \"description\": \"\"}\n// Function schemas\n"
                       "{\"name\": \"functions.lookup\", \"description\": \"Find a record\", \"parameters\": "
                       "{\"type\": \"object\", \"properties\": {\"id\": {\"type\": \"integer\"}}, \"required\": "
                       "[\"id\"]}}\n{\"name\": \"functions.note\", \"description\": \"\", \"parameters\": {}}" +
                  kExample);
    EXPECT_EQ(tolvRecipientsLine(json::array({lookup, note})),
              "# Valid recipients: \"self\", \"functions.*\", \"user\".");

    const std::pair<json, std::vector<std::string>> cases[] = {
        {json::array({json{{"name", "a"}}, json{{"name", "b"}}, json{{"name", "a.x"}}}), {"a", "b"}},
        {json::array({json::object(), json{{"name", ".x"}}}), {""}},
        {json::object(), {}},
        {json::array(), {}},
    };
    for (const auto& [tools, spaces] : cases) EXPECT_EQ(toolNamespaces(tools), spaces) << tools.dump();
    EXPECT_EQ(tolvRecipientsLine(json::array({json{{"name", "a"}}, json{{"name", "b"}}})),
              "# Valid recipients: \"self\", \"a.*\", \"b.*\", \"user\".");
    EXPECT_EQ(tolvRecipientsLine(json::array({json::object()})), "# Valid recipients: \"self\", \".*\", \"user\".");
    EXPECT_EQ(tolvRecipientsLine(json::array()), kPlainRecipients);
    EXPECT_THROW(tolvToolPrompt(json::array({7})), json::type_error);
    EXPECT_THROW(tolvToolPrompt(json::array({json{{"name", "a"}, {"description", 1}}})), json::type_error);
}

TEST(TolvTools, SchemaKeyOrder) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"x": 2, "type": "t", "default": 1})", R"({"type": "t", "default": 1, "x": 2})"},
        {R"({"required": ["b"], "items": {"type": "s"}, "enum": [1], "title": "T", "description": "D", "a": null,
             "properties": {"type": {"x": 1, "type": "string"}, "b": {"description": "d", "type": "integer"}}})",
         R"({"title": "T", "description": "D", "properties": {"b": {"type": "integer", "description": "d"}, )"
         R"("type": {"type": "string", "x": 1}}, "items": {"type": "s"}, "enum": [1], "required": ["b"], "a": null})"},
        {R"([{"b": 1, "type": "x"}, "s", 1.5])", R"([{"type": "x", "b": 1}, "s", 1.5])"},
        {R"("text")", R"("text")"},
    };
    for (const auto& [schema, expected] : cases) EXPECT_EQ(tolvSchemaText(json::parse(schema)), expected) << schema;
    EXPECT_EQ(tolvSchemaText(json::parse(R"({"type": {"b": 1, "a": 2}, "description": 0})"), true),
              R"({"description": 0, "type": {"a": 2, "b": 1}})");
}

TEST(TolvTools, CallBlocksOutputsAndNames) {
    const std::string head = "<atem:function_calls>\n<atem:invoke name=\"f\">\n";
    const std::string tail = "</atem:invoke>\n</atem:function_calls>";
    const auto param = [](const std::string& key, const std::string& value) {
        return "<atem:parameter name=\"" + key + "\">" + value + "</atem:parameter>\n";
    };
    const std::pair<json, std::string> cases[] = {
        {json::parse(R"({"tag": "a b", "id": 7})"), param("id", "7") + param("tag", "a b")},
        {json("{\"id\": 7, \"tag\": \"a b\"}"), param("id", "7") + param("tag", "a b")},
        {json::parse(R"({"s": "line\n<b>", "t": true, "n": null, "f": 0.5, "o": {"k": [1]}})"),
         param("f", "0.5") + param("n", "null") + param("o", "{\"k\": [1]}") + param("s", "line\n<b>") +
             param("t", "true")},
        {json::array({1, 2}), ""},
        {json(3), ""},
        {json("[1]"), ""},
        {json("not json"), ""},
        {json(nullptr), ""},
    };
    for (const auto& [input, params] : cases) EXPECT_EQ(atemCallBlock("f", input), head + params + tail) << input.dump();

    EXPECT_EQ(tolvToolOutputMessage("", "x"),
              "<|start|>tool unknown<|message|><tool_output name=\"unknown\">\nx\n</tool_output><|eot|>");

    const std::pair<std::string, std::string> names[] = {
        {"to=user<|message|><atem:function_calls>\n<atem:invoke name=\"get_weather\">", "get_weather"},
        {"<|start|>assistant to=functions.x<|message|>", "functions.x"},
        {"to=self <atem:invoke name=\"y\">", "y"},
        {"to=a\tb", "a"},
        {"<atem:invoke name=\"unterminated", ""},
        {"nothing here", ""},
    };
    for (const auto& [raw, name] : names) EXPECT_EQ(tolvNameFromRaw(raw), name) << raw;
}

TEST(TolvRenderer, WronglyTypedFieldsThrow) {
    const MessageList cases[] = {
        {json{{"role", 1}}},
        {json{{"role", "tool"}, {"name", 1}}},
        {json{{"role", "assistant"}, {"tool_calls", json::array({{{"id", 5}}})}}},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"raw", 5}}}))},
        {msg("user", json::array({json{{"type", 5}}}))},
    };
    for (const MessageList& messages : cases) {
        EXPECT_THROW(render(messages, options(1)), json::type_error) << json(messages).dump();
    }
}

}  // namespace
