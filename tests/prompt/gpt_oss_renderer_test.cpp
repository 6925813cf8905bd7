#include <gtest/gtest.h>

#include "family_test_util.h"
#include "prompt/gpt_oss_renderer.h"
#include "prompt/gpt_oss_tools.h"

using nlohmann::json;
using namespace family_test;

namespace {

const std::string kSystemHead =
    "<|start|>system<|message|>You are ChatGPT, a large language model trained by OpenAI.\n"
    "Knowledge cutoff: 2024-06\nCurrent date: 2026-12-09\n\nReasoning: ";
const std::string kChannels = "# Valid channels: analysis, commentary, final. Channel must be included for every message.";
const std::string kToolsLine = "\nCalls to these tools must go to the commentary channel: 'functions'.";

const json kWeatherTool = json::parse(R"({"type": "function", "function": {"name": "get_weather",
  "description": "Get weather", "parameters": {"type": "object", "required": ["city"],
  "properties": {"unit": {"type": "string", "enum": ["c", "f"], "default": "c"},
                 "city": {"type": "string", "description": "City"}}}}})");
const std::string kWeatherNamespace =
    "## functions\n\nnamespace functions {\n\n// Get weather\ntype get_weather = (_: {\n// City\ncity: string,\n"
    "unit?: \"c\" | \"f\", // default: c,\n}) => any;\n\n} // namespace functions";

std::string render(const MessageList& messages, const RenderOptions& o) {
    return GptOssRenderer([] { return std::string("2026-12-09"); }).render(messages, o);
}

TEST(GptOssRenderer, WorkedExampleOverTwoRequests) {
    RenderOptions first = options(1);
    first.tools = json::array({kWeatherTool});
    first.hasTools = true;
    EXPECT_EQ(render({msg("system", "Be brief."), msg("user", "Weather in Paris?")}, first),
              kSystemHead + "medium\n\n" + kChannels + kToolsLine + "<|end|>" +
                  "<|start|>developer<|message|># Instructions\n\nBe brief.\n\n# Tools\n\n" + kWeatherNamespace +
                  "<|end|><|start|>user<|message|>Weather in Paris?<|end|><|start|>assistant");

    RenderOptions second = options(1, false);
    second.hasTools = true;
    const json reply = {{"role", "assistant"},
                        {"thinking", "Need weather."},
                        {"tool_calls", json::array({{{"id", "call_1"},
                                                     {"function", {{"name", "get_weather"},
                                                                   {"arguments", {{"city", "Paris"}}}}}}})}};
    EXPECT_EQ(render({reply, toolMessage("call_1", "Sunny")}, second),
              "<|start|>assistant<|channel|>analysis<|message|>Need weather.<|end|>"
              "<|start|>assistant to=functions.get_weather<|channel|>commentary json<|message|>{\"city\": \"Paris\"}"
              "<|call|><|start|>functions.get_weather to=assistant<|channel|>commentary<|message|>\"Sunny\"<|end|>"
              "<|start|>assistant");
}

TEST(GptOssRenderer, SystemHeaderEffortAndSuffix) {
    struct Case {
        int think;
        bool noThinking;
        bool tools;
        std::string effort;
        std::string suffix;
    };
    const Case cases[] = {
        {0, false, false, "low", "<|start|>assistant"},
        {-2, false, false, "low", "<|start|>assistant"},
        {1, false, false, "medium", "<|start|>assistant"},
        {2, false, true, "high", "<|start|>assistant"},
        {9, false, false, "high", "<|start|>assistant"},
        {2, true, false, "low", "<|start|>assistant<|channel|>final<|message|>"},
        {1, true, true, "low", "<|start|>assistant<|channel|>final<|message|>"},
    };
    for (const Case& c : cases) {
        RenderOptions o = options(c.think, true, c.noThinking);
        if (c.tools) o.tools = json::array({json{{"name", "now"}}});
        const std::string tools = c.tools ? kToolsLine + "<|end|><|start|>developer<|message|># Tools\n\n"
                                                         "## functions\n\nnamespace functions {\n\n// \n"
                                                         "type now = () => any;\n\n} // namespace functions"
                                          : std::string();
        EXPECT_EQ(render({msg("user", "q")}, o),
                  kSystemHead + c.effort + "\n\n" + kChannels + tools + "<|end|><|start|>user<|message|>q<|end|>" +
                      c.suffix)
            << c.think << " " << c.noThinking << " " << c.tools;
    }
    // A later context: no system header, hasTools alone writes nothing.
    RenderOptions later = options(1, false);
    later.hasTools = true;
    EXPECT_EQ(render({msg("user", "q")}, later), "<|start|>user<|message|>q<|end|><|start|>assistant");
    EXPECT_EQ(render({}, options(0, false, true)), "<|start|>assistant<|channel|>final<|message|>");
    const char* const words[] = {"low", "medium", "high"};
    for (int level : {0, 1, 2}) EXPECT_EQ(gptOssEffortName(level), words[level]);
}

TEST(GptOssRenderer, InstructionsAndRoles) {
    // A leading system message with empty text is skipped and writes nothing.
    EXPECT_EQ(render({msg("system", ""), msg("user", "q")}, options(1, false)),
              "<|start|>user<|message|>q<|end|><|start|>assistant");
    // A leading developer message is taken also in a later context.
    EXPECT_EQ(render({msg("developer", "Rules"), msg("user", "q")}, options(1, false)),
              "<|start|>developer<|message|># Instructions\n\nRules\n\n<|end|><|start|>user<|message|>q<|end|>"
              "<|start|>assistant");
    // Later system or developer messages and unknown roles are dropped; a
    // missing role is a user; a past answer keeps no thinking.
    EXPECT_EQ(render({msg("user", "a"), msg("system", "b"), msg("developer", "c"), msg("critic", "d"),
                      json{{"content", "e"}}, json{{"role", "assistant"}, {"thinking", "t"}, {"content", "f"}}},
                     options(1, false)),
              "<|start|>user<|message|>a<|end|><|start|>user<|message|>e<|end|>"
              "<|start|>assistant<|channel|>final<|message|>f<|end|><|start|>assistant");
    // A user message mixing text and results is an ordinary user message.
    EXPECT_EQ(render({msg("user", json::array({text("see "), toolResult("x", "r")}))}, options(1, false)),
              "<|start|>user<|message|>see r<|end|><|start|>assistant");
}

TEST(GptOssRenderer, PastToolCalls) {
    struct Case {
        MessageList messages;
        std::string expected;
    };
    const json twoCalls = {{"role", "assistant"},
                           {"content", "text is dropped"},
                           {"tool_calls", json::array({{{"id", "a"}, {"name", "one"}, {"arguments", "{\"x\":1}"}},
                                                       {{"id", "b"}, {"name", "two"}}})}};
    const std::string rawCall = "<|start|>assistant to=functions.lookup<|channel|>commentary json<|message|>{\"q\":1}";
    const Case cases[] = {
        // Only the first call; string arguments that parse are rewritten spaced.
        {{twoCalls},
         "<|start|>assistant to=functions.one<|channel|>commentary json<|message|>{\"x\": 1}<|call|>"},
        // Arguments that are not JSON are kept; missing ones are {}.
        {{json{{"role", "assistant"}, {"tool_calls", json::array({{{"name", "f"}, {"arguments", "not json"}}})}}},
         "<|start|>assistant to=functions.f<|channel|>commentary json<|message|>not json<|call|>"},
        {{msg("assistant", json::array({toolUse("u", "g", nullptr)}))},
         "<|start|>assistant to=functions.g<|channel|>commentary json<|message|>{}<|call|>"},
        // The raw text of a generated call is copied byte for byte.
        {{msg("assistant", json::array({text("t"), rawToolUse("r", rawCall)}))}, rawCall + "<|call|>"},
        // A raw text without a message header is wrapped, named from "to=functions.".
        {{msg("assistant", json::array({rawToolUse("r", "to=functions.h {}")}))},
         "<|start|>assistant to=functions.h<|channel|>commentary json<|message|>to=functions.h {}<|call|>"},
        // Thinking of a call that a later answer of this request completes is dropped.
        {{json{{"role", "assistant"}, {"thinking", "T"}, {"tool_calls", json::array({{{"name", "f"}}})}},
          toolMessage("", "r"), msg("assistant", "done")},
         "<|start|>assistant to=functions.f<|channel|>commentary json<|message|>{}<|call|>"
         "<|start|>functions.f to=assistant<|channel|>commentary<|message|>\"r\"<|end|>"
         "<|start|>assistant<|channel|>final<|message|>done<|end|>"},
        // Thinking from a thinking block is kept while the call is open.
        {{msg("assistant", json::array({json{{"type", "thinking"}, {"thinking", "B"}}, toolUse("u", "f", 1)}))},
         "<|start|>assistant<|channel|>analysis<|message|>B<|end|>"
         "<|start|>assistant to=functions.f<|channel|>commentary json<|message|>1<|call|>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render(c.messages, options(1, false)), c.expected + "<|start|>assistant") << json(c.messages).dump();
    }
}

TEST(GptOssRenderer, ToolResultNames) {
    const std::string head = "<|start|>functions.";
    const std::string mid = " to=assistant<|channel|>commentary<|message|>";
    RenderOptions o = options(1, false);
    o.priorToolCalls = json::array({{{"id", "p"}, {"raw", "<|start|>assistant to=functions.prior<|channel|>"}}});
    const MessageList messages = {
        toolMessage("p", "by prior id"),
        toolMessage("zz", "before any call: the single prior call"),
        msg("assistant", json::array({toolUse("c1", "first", json::object())})),
        toolMessage("zz", "latest call"),
        json{{"role", "tool"}, {"tool_use_id", "c1"}, {"content", "by tool_use_id"}},
        json{{"role", "tool"}, {"name", "stated"}, {"tool_call_id", "c1"}, {"content", "stated name"}},
        msg("user", json::array({toolResult("c1", "block"), json{{"type", "tool_result"}, {"name", "n"}, {"content", "q\"\n"}}})),
        msg("assistant", "answer"),
        toolMessage("zz", "after an answer: the single prior call"),
    };
    EXPECT_EQ(render(messages, o),
              head + "prior" + mid + "\"by prior id\"<|end|>" + head + "prior" + mid +
                  "\"before any call: the single prior call\"<|end|>"
                  "<|start|>assistant to=functions.first<|channel|>commentary json<|message|>{}<|call|>" +
                  head + "first" + mid + "\"latest call\"<|end|>" + head + "first" + mid + "\"by tool_use_id\"<|end|>" +
                  head + "stated" + mid + "\"stated name\"<|end|>" + head + "first" + mid + "\"block\"<|end|>" + head +
                  "n" + mid + "\"q\\\"\\n\"<|end|><|start|>assistant<|channel|>final<|message|>answer<|end|>" + head +
                  "prior" + mid + "\"after an answer: the single prior call\"<|end|><|start|>assistant");

    // Two prior calls give no fallback name: "unknown".
    o.priorToolCalls.push_back({{"id", "q"}, {"raw", "to=functions.other"}});
    EXPECT_EQ(render({toolMessage("zz", "x")}, o), head + "unknown" + mid + "\"x\"<|end|><|start|>assistant");
}

TEST(GptOssRenderer, Helpers) {
    const std::pair<std::string, std::string> names[] = {
        {"<|start|>assistant to=functions.get_weather<|channel|>", "get_weather"},
        {"to=functions.a.b c", "a.b"},
        {"to=functions.x\tq", "x"},
        {"to=functions.", ""},
        {"to=browser.x", ""},
    };
    for (const auto& [raw, name] : names) EXPECT_EQ(functionNameFromRaw(raw), name) << raw;

    EXPECT_EQ(assistantThinkingText(json{{"thinking", "a"}, {"content", json::array({json{{"type", "thinking"}, {"thinking", "b"}}})}}), "a");
    EXPECT_EQ(assistantThinkingText(json{{"thinking", 1}, {"content", json::array({7, json{{"type", "thinking"}, {"thinking", "b"}}})}}), "b");
    EXPECT_EQ(assistantThinkingText(json{{"content", "x"}}), "");

    const auto map = collectToolNamesById(
        json::array({{{"id", "p"}, {"raw", "to=functions.one"}}, {{"id", "p2"}, {"raw", "none"}}, 3}),
        {msg("assistant", json::array({toolUse("p", "two", 1), rawToolUse("r", "to=functions.three")})),
         json{{"role", "assistant"}, {"tool_calls", json::array({{{"id", "e"}, {"name", ""}}, {{"name", "noid"}}})}}});
    const std::map<std::string, std::string> expected = {{"p", "two"}, {"r", "three"}, {"e", ""}, {"", "noid"}};
    EXPECT_EQ(map, expected);

    ToolCallInfo info{"keep", "keep", "keep"};
    EXPECT_FALSE(firstToolCall(msg("assistant", "plain"), info));
    EXPECT_EQ(info.name, "keep");
    EXPECT_THROW(render({json{{"role", 2}}}, options(1)), json::type_error);
    EXPECT_THROW(render({msg("assistant", json::array({json{{"type", "tool_use"}, {"name", 5}}}))}, options(1)),
                 json::type_error);
    EXPECT_THROW(render({json{{"role", "tool"}, {"name", 5}}}, options(1)), json::type_error);
}

TEST(GptOssTools, NamespaceEntries) {
    EXPECT_EQ(gptOssToolNamespace(json::array({kWeatherTool})), kWeatherNamespace);
    const std::pair<std::string, std::string> cases[] = {
        // No parameters, or empty properties.
        {R"({"name": "a", "description": "A"})", "// A\ntype a = () => any;\n\n"},
        {R"({"name": "a", "parameters": {"properties": {}}})", "// \ntype a = () => any;\n\n"},
        // Without "required" every property is optional; defaults by kind.
        {R"({"name": "a", "parameters": {"properties": {
             "s": {"type": "string", "default": "x"},
             "n": {"type": "integer", "default": 3},
             "o": {"oneOf": [{"type": "string"}, {"type": "number"}], "default": "y"},
             "e": {"type": "string", "enum": ["p", 2], "default": {"k": 1}}}}})",
         "// \ntype a = (_: {\ne?: \"p\" | \"2\", // default: {\"k\": 1},\nn?: number, // default: 3,\n"
         "o?: string | number// default: y,\ns?: string, // default: \"x\",\n}) => any;\n\n"},
    };
    for (const auto& [tool, entry] : cases) {
        EXPECT_EQ(gptOssToolNamespace(json::array({json::parse(tool)})),
                  "## functions\n\nnamespace functions {\n\n" + entry + "} // namespace functions")
            << tool;
    }
    EXPECT_EQ(gptOssToolNamespace(json::array()), "## functions\n\nnamespace functions {\n\n} // namespace functions");
    EXPECT_THROW(gptOssToolNamespace(json::array({"x"})), json::type_error);
}

TEST(GptOssTools, TypeScriptTypes) {
    const std::string longObject = R"({"type": "object", "properties": {"alpha": {"type": "string"},
        "beta": {"type": "string"}, "gamma": {"type": "string"}, "delta": {"type": "string"}}})";
    const std::pair<std::string, std::string> cases[] = {
        {R"("string")", "any"},
        {R"({})", "any"},
        {R"({"type": "null"})", "any"},
        {R"({"type": "string"})", "string"},
        {R"({"type": "string", "nullable": true})", "string | null"},
        {R"({"type": "string", "enum": []})", ""},
        {R"({"type": "string", "enum": ["a", true]})", "\"a\" | \"true\""},
        {R"({"type": "integer", "nullable": true})", "number"},
        {R"({"type": "boolean"})", "boolean"},
        {R"({"type": ["string", "null"]})", "string | null"},
        {R"({"type": ["string", 3]})", "string | any"},
        {R"({"type": "array"})", "any[]"},
        {R"({"type": "array", "items": {"type": "string"}, "nullable": true})", "string[] | null"},
        {R"({"type": "array", "items": {"type": "integer"}})", "number[]"},
        {R"({"type": "array", "items": {"type": "boolean"}})", "boolean[]"},
        {R"({"type": "array", "items": {"type": ["object", "object"]}})", "any[]"},
        {R"({"type": "array", "items": {"type": "object"}})", "object[]"},
        // The item type text is longer than 50 bytes.
        {R"({"type": "array", "items": )" + longObject + "}", "any[]"},
        {R"({"type": "array", "items": {"type": "object", "properties": {"a": {"type": "number"}}}})",
         "{\na?: number}[]"},
        {R"({"oneOf": [{"type": "object"}, {"type": "object"}]})", "any"},
        {R"({"oneOf": [{"type": "object", "description": "d"}]})", "object// d"},
        {R"({"oneOf": [{"type": "string", "default": "z"}, 5]})", "string// default: \"z\" | any"},
        {R"({"type": "object"})", "object"},
        {R"({"type": "object", "required": ["b"], "properties": {"b": {"type": "string", "description": "x"},
             "a": {"type": "object", "properties": {"c": {"type": "boolean"}}}}})",
         "{\na?: {\nc?: boolean}, b: string}"},
    };
    for (const auto& [schema, expected] : cases) EXPECT_EQ(typeScriptType(json::parse(schema)), expected) << schema;
    EXPECT_THROW(typeScriptType(json::parse(R"({"type": "string", "nullable": 1})")), json::type_error);
}

}  // namespace
