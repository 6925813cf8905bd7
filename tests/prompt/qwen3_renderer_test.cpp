#include <gtest/gtest.h>

#include "prompt/qwen3_renderer.h"

using nlohmann::json;

namespace {

const std::string S = "<|im_start|>system\nYou are a helpful assistant.<|im_end|>\n";
const std::string A = "<|im_start|>assistant\n";
const std::string kClosedThought = "<think>\n\n</think>\n\n";

const std::string kQwen35Instructions =
    "\n\nIf you choose to call a function ONLY reply in the following format with NO suffix:\n\n<tool_call>\n"
    "<function=example_function_name>\n<parameter=example_parameter_1>\nvalue_1\n</parameter>\n"
    "<parameter=example_parameter_2>\nThis is the value for the second parameter\nthat can span\nmultiple lines\n"
    "</parameter>\n</function>\n</tool_call>\n\n<IMPORTANT>\nReminder:\n- Function calls MUST follow the specified "
    "format: an inner <function=...></function> block must be nested within <tool_call></tool_call> XML tags\n- "
    "Required parameters MUST be specified\n- You may provide optional reasoning for your function call in natural "
    "language BEFORE the function call, but NOT after\n- If there is no function call available, answer the "
    "question like normal with your current knowledge and do not tell the user about function calls\n"
    "</IMPORTANT>";
const std::string kQwen3ToolsHead =
    "# Tools\n\nYou may call one or more functions to assist with the user query.\n\nYou are provided with "
    "function signatures within <tools></tools> XML tags:\n<tools>";
const std::string kQwen3ToolsTail =
    "\n</tools>\n\nFor each function call, return a json object with function name and arguments within "
    "<tool_call></tool_call> XML tags:\n<tool_call>\n{\"name\": <function-name>, \"arguments\": "
    "<args-json-object>}\n</tool_call><|im_end|>\n";
const std::string kQwen35ToolsHead = "# Tools\n\nYou have access to the following functions:\n\n<tools>";

json msg(const std::string& role, const json& content) { return json{{"role", role}, {"content", content}}; }
json text(const std::string& t) { return json{{"type", "text"}, {"text", t}}; }
json toolUse(const std::string& name, const json& input) {
    return json{{"type", "tool_use"}, {"name", name}, {"input", input}};
}
json toolResult(const json& content) { return json{{"type", "tool_result"}, {"content", content}}; }

RenderOptions opts(int think, bool defaultSystem = true) {
    RenderOptions o;
    o.think = think;
    o.defaultSystem = defaultSystem;
    return o;
}

// The weather tool as a client sends it (flat), with members that must be
// reordered: name, description, parameters first; within parameters type,
// properties, required first.
const json kFlatTool = json::parse(R"({
  "strict": true,
  "parameters": {"required": ["city"], "additionalProperties": false,
                 "properties": {"city": {"type": "string", "description": "City"}}, "type": "object"},
  "name": "get_weather",
  "description": "Get weather"
})");
const std::string kFlatToolLine =
    "{\"type\": \"function\", \"function\": {\"name\": \"get_weather\", \"description\": \"Get weather\", "
    "\"parameters\": {\"type\": \"object\", \"properties\": {\"city\": {\"description\": \"City\", \"type\": "
    "\"string\"}}, \"required\": [\"city\"], \"additionalProperties\": false}, \"strict\": true}}";
const json kTypedTool = json::parse(R"({"type": "function", "function": {"name": "now", "parameters": {"type": "object", "properties": {}}}})");
const std::string kTypedToolLine =
    "{\"function\": {\"name\": \"now\", \"parameters\": {\"properties\": {}, \"type\": \"object\"}}, \"type\": "
    "\"function\"}";

struct Golden {
    const char* name;
    bool qwen35;
    MessageList messages;
    RenderOptions options;
    std::string expected;
};

void checkGolden(const std::vector<Golden>& cases) {
    for (const auto& c : cases) {
        Qwen3Renderer renderer(c.qwen35);
        EXPECT_EQ(renderer.render(c.messages, c.options), c.expected) << c.name << (c.qwen35 ? " (qwen35)" : "");
    }
}

TEST(Qwen3Render, SystemTurnAndGenerationPrompt) {
    RenderOptions noThinking = opts(2);
    noThinking.noThinking = true;
    checkGolden({
        {"worked example", false, {msg("user", "Hi")}, opts(0),
         S + "<|im_start|>user\nHi<|im_end|>\n" + A + kClosedThought},
        {"empty list, fresh context", false, {}, opts(1), S + A},
        {"empty list, live context", false, {}, opts(1, false), A},
        {"think 2 opens a thought", false, {}, opts(2, false), A + "<think>\n"},
        {"think above 2", true, {}, opts(7, false), A + "<think>\n"},
        {"negative think acts as 0", false, {}, opts(-3, false), A + kClosedThought},
        {"noThinking wins over think 2", false, {}, noThinking, S + A + kClosedThought},
        {"system message", false, {msg("system", "  Be brief. "), msg("user", "x")}, opts(1, false),
         "<|im_start|>system\n  Be brief. <|im_end|>\n<|im_start|>user\nx<|im_end|>\n" + A},
        {"system message trimmed (qwen35)", true, {msg("system", "  Be brief.\n"), msg("user", " x\t")}, opts(1),
         "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nx<|im_end|>\n" + A},
        {"empty system message", false, {msg("system", "")}, opts(1, false), "<|im_start|>system\n<|im_end|>\n" + A},
        {"first developer is the system text, later ones are system turns", false,
         {msg("developer", "D1"), msg("user", "u"), msg("developer", "D2"), msg("system", "S2")}, opts(1),
         "<|im_start|>system\nD1<|im_end|>\n<|im_start|>user\nu<|im_end|>\n<|im_start|>system\nD2<|im_end|>\n"
         "<|im_start|>system\nS2<|im_end|>\n" + A},
        {"unknown role and missing role", false, {msg("critic", "c"), json{{"content", "no role"}}}, opts(1, false),
         "<|im_start|>critic\nc<|im_end|>\n<|im_start|>user\nno role<|im_end|>\n" + A},
        {"last message from the assistant still gets a prompt", false, {msg("assistant", "done")}, opts(1, false),
         A + "done<|im_end|>\n" + A},
    });
}

TEST(Qwen3Render, UserContentAndToolResults) {
    checkGolden({
        {"two tool messages make one user turn", false,
         {msg("tool", "r1"), msg("tool", "r2"), msg("user", "thanks")}, opts(1, false),
         "<|im_start|>user\n<tool_response>\nr1\n</tool_response>\n<tool_response>\nr2\n</tool_response><|im_end|>\n"
         "<|im_start|>user\nthanks<|im_end|>\n" + A},
        {"tool message then result blocks merge", true,
         {msg("tool", " r1 "),
          msg("user", json::array({toolResult("r2"), toolResult(json::array({text("r3"), json{{"type", "image"}}}))}))},
         opts(1, false),
         "<|im_start|>user\n<tool_response>\n r1 \n</tool_response>\n<tool_response>\nr2\n</tool_response>\n"
         "<tool_response>\nr3\n</tool_response><|im_end|>\n" + A},
        {"empty tool result", false, {msg("tool", nullptr)}, opts(1, false),
         "<|im_start|>user\n<tool_response>\n\n</tool_response><|im_end|>\n" + A},
        {"mixed text and result is an ordinary turn", false,
         {msg("user", json::array({text("see: "), toolResult("42")}))}, opts(1, false),
         "<|im_start|>user\nsee: 42<|im_end|>\n" + A},
        {"empty content array is an ordinary turn", false, {msg("user", json::array())}, opts(1, false),
         "<|im_start|>user\n<|im_end|>\n" + A},
        {"media marker stays in place", false,
         {msg("user", json::array({text("what is "), text("<__media__>"), text("?")}))}, opts(1, false),
         "<|im_start|>user\nwhat is <__media__>?<|im_end|>\n" + A},
    });
}

TEST(Qwen3Render, PastAssistantTurns) {
    const json lookup = toolUse("lookup", {{"q", "x"}});
    json rawCall = toolUse("ignored", {{"ignored", true}});
    rawCall["raw"] = "\n{\"name\": \"lookup\",  \"arguments\": {\"q\":\"x\"}}\n";
    json emptyRaw = toolUse("f", {{"a", 1}});
    emptyRaw["raw"] = "";
    const json noInput = json{{"type", "tool_use"}, {"name", "now"}};

    checkGolden({
        {"worked example (qwen35)", true, {msg("assistant", json::array({text("Done"), lookup}))}, opts(1, false),
         A + "Done\n\n<tool_call>\n<function=lookup>\n<parameter=q>\nx\n</parameter>\n</function>\n</tool_call>"
             "<|im_end|>\n" + A},
        {"worked example (qwen3)", false, {msg("assistant", json::array({text("Done"), lookup}))}, opts(1, false),
         A + "Done\n<tool_call>\n{\"name\": \"lookup\", \"arguments\": {\"q\": \"x\"}}\n</tool_call><|im_end|>\n" + A},
        {"calls without text, qwen3", false,
         {msg("assistant", json::array({lookup, noInput}))}, opts(1, false),
         A + "<tool_call>\n{\"name\": \"lookup\", \"arguments\": {\"q\": \"x\"}}\n</tool_call>\n"
             "<tool_call>\n{\"name\": \"now\", \"arguments\": {}}\n</tool_call><|im_end|>\n" + A},
        {"calls without text, qwen35", true,
         {msg("assistant", json::array({lookup, noInput}))}, opts(1, false),
         A + "<tool_call>\n<function=lookup>\n<parameter=q>\nx\n</parameter>\n</function>\n</tool_call>\n"
             "<tool_call>\n<function=now>\n</function>\n</tool_call><|im_end|>\n" + A},
        {"raw call copied byte for byte", false, {msg("assistant", json::array({rawCall}))}, opts(1, false),
         A + "<tool_call>\n{\"name\": \"lookup\",  \"arguments\": {\"q\":\"x\"}}\n</tool_call><|im_end|>\n" + A},
        {"raw call copied byte for byte (qwen35)", true, {msg("assistant", json::array({text("t"), rawCall}))},
         opts(1, false),
         A + "t\n\n<tool_call>\n{\"name\": \"lookup\",  \"arguments\": {\"q\":\"x\"}}\n</tool_call><|im_end|>\n" + A},
        {"empty raw falls back to name and input", false, {msg("assistant", json::array({emptyRaw}))}, opts(1, false),
         A + "<tool_call>\n{\"name\": \"f\", \"arguments\": {\"a\": 1}}\n</tool_call><|im_end|>\n" + A},
        {"non-object arguments (qwen3)", false, {msg("assistant", json::array({toolUse("f", "text args")}))},
         opts(1, false), A + "<tool_call>\n{\"name\": \"f\", \"arguments\": \"text args\"}\n</tool_call><|im_end|>\n" + A},
        {"non-object arguments give no parameters (qwen35)", true,
         {msg("assistant", json::array({toolUse("f", json::array({1}))}))}, opts(1, false),
         A + "<tool_call>\n<function=f>\n</function>\n</tool_call><|im_end|>\n" + A},
        {"qwen35 parameter values", true,
         {msg("assistant",
              json::array({toolUse("f", json::parse(R"({"s": "two words", "n": 1.5, "i": -3, "t": true, "f": false,
                                                        "z": null, "o": {"b": 1, "a": [1, "x"]}, "l": []})"))}))},
         opts(1, false),
         A + "<tool_call>\n<function=f>\n<parameter=f>\nfalse\n</parameter>\n<parameter=i>\n-3\n</parameter>\n"
             "<parameter=l>\n[]\n</parameter>\n<parameter=n>\n1.5\n</parameter>\n"
             "<parameter=o>\n{\"a\": [1, \"x\"], \"b\": 1}\n</parameter>\n<parameter=s>\ntwo words\n</parameter>\n"
             "<parameter=t>\ntrue\n</parameter>\n<parameter=z>\nnull\n</parameter>\n</function>\n</tool_call>"
             "<|im_end|>\n" + A},
        {"thinking blocks are dropped, marker text kept", false,
         {msg("assistant", json::array({json{{"type", "thinking"}, {"thinking", "secret"}}, text("a <think>b</think> c"),
                                        json("stray"), json{{"type", "image"}}}))},
         opts(1, false), A + "a <think>b</think> c<|im_end|>\n" + A},
        {"assistant text trimmed (qwen35)", true, {msg("assistant", "\n<think>x</think>\n\nanswer \n")}, opts(1, false),
         A + "<think>x</think>\n\nanswer<|im_end|>\n" + A},
        {"assistant text as written (qwen3)", false, {msg("assistant", "\nanswer \n")}, opts(1, false),
         A + "\nanswer \n<|im_end|>\n" + A},
        {"assistant without content", false, {json{{"role", "assistant"}}}, opts(1, false), A + "<|im_end|>\n" + A},
    });
}

TEST(Qwen3Render, ToolsSystemTurnInBothForms) {
    ASSERT_EQ(kQwen35Instructions.size(), 817u);
    RenderOptions withTools = opts(1);
    withTools.tools = json::array({kFlatTool, kTypedTool, "bare"});
    RenderOptions toolsLive = withTools;
    toolsLive.defaultSystem = false;
    const std::string list = "\n" + kFlatToolLine + "\n" + kTypedToolLine + "\n\"bare\"";

    checkGolden({
        {"qwen3 with system message", false, {msg("system", "Be brief."), msg("user", "Hi")}, withTools,
         "<|im_start|>system\nBe brief.\n\n" + kQwen3ToolsHead + list + kQwen3ToolsTail +
             "<|im_start|>user\nHi<|im_end|>\n" + A},
        {"qwen3 with default system text", false, {}, withTools,
         "<|im_start|>system\nYou are a helpful assistant.\n\n" + kQwen3ToolsHead + list + kQwen3ToolsTail + A},
        {"qwen3, live context: empty system text", false, {}, toolsLive,
         "<|im_start|>system\n" + kQwen3ToolsHead + list + kQwen3ToolsTail + A},
        {"qwen35 with system message", true, {msg("system", " Be brief. "), msg("user", "Hi")}, withTools,
         "<|im_start|>system\n" + kQwen35ToolsHead + list + "\n</tools>" + kQwen35Instructions +
             "\n\nBe brief.<|im_end|>\n<|im_start|>user\nHi<|im_end|>\n" + A},
        {"qwen35, live context: instructions end the turn", true, {}, toolsLive,
         "<|im_start|>system\n" + kQwen35ToolsHead + list + "\n</tools>" + kQwen35Instructions + "<|im_end|>\n" + A},
    });

    // Tools that are not a non-empty array declare nothing.
    for (const json& notTools : {json::array(), json::object(), json("x"), json(nullptr), json{{"name", "f"}}}) {
        RenderOptions o = opts(1);
        o.tools = notTools;
        EXPECT_EQ(Qwen3Renderer(false).render({}, o), S + A) << notTools.dump();
    }

    // The system turn helper on its own, with an empty system text.
    Qwen3Renderer qwen3(false), qwen35(true);
    const json one = json::array({kTypedTool});
    EXPECT_EQ(qwen3.renderToolsSystem("", one),
              "<|im_start|>system\n" + kQwen3ToolsHead + "\n" + kTypedToolLine + kQwen3ToolsTail);
    EXPECT_EQ(qwen35.renderToolsSystem("", one), "<|im_start|>system\n" + kQwen35ToolsHead + "\n" + kTypedToolLine +
                                                     "\n</tools>" + kQwen35Instructions + "<|im_end|>\n");
}

TEST(Qwen3Render, WronglyTypedValuesRaiseTheLibraryError) {
    Qwen3Renderer renderer(false);
    const MessageList cases[] = {
        {json{{"role", 3}, {"content", "x"}}},
        {msg("user", "x"), json{{"role", nullptr}}},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"name", 5}}}))},
        {msg("assistant", json::array({json{{"type", "text"}, {"text", json::array()}}}))},
    };
    for (const auto& messages : cases) {
        EXPECT_THROW(renderer.render(messages, RenderOptions()), json::type_error) << json(messages).dump();
    }
}

TEST(Qwen3RenderConversation, SimpleLayoutWithLineFeedBeforeTurnEnd) {
    RenderOptions live = opts(0, false);
    const MessageList history = {msg("user", "q1"), json{{"content", "a1"}}};
    const std::string expected =
        "<|im_start|>system\nYou are a helpful assistant.\n<|im_end|>\n<|im_start|>user\nq1\n<|im_end|>\n"
        "<|im_start|>user\na1\n<|im_end|>\n<|im_start|>user\nq2\n<|im_end|>\n" + A + kClosedThought;
    EXPECT_EQ(Qwen3Renderer(false).renderConversation(history, "q2", "", live), expected);
    EXPECT_EQ(Qwen3Renderer(true).renderConversation(history, "q2", "", live), expected);

    RenderOptions tools = opts(2);
    tools.tools = json::array({json::parse(R"({"name": "é", "parameters": {"type": "object"}})")});
    EXPECT_EQ(Qwen3Renderer(false).renderConversation({}, "", "Sys", tools),
              "<|im_start|>system\nSys\n\n## Available Tools\n\n[\n  {\n    \"name\": \"é\",\n    \"parameters\": "
              "{\n      \"type\": \"object\"\n    }\n  }\n]\n<|im_end|>\n<|im_start|>user\n\n<|im_end|>\n" + A +
                  "<think>\n");

    EXPECT_THROW(Qwen3Renderer(false).renderConversation({msg("user", json::array())}, "", "", live), json::type_error);
}

}  // namespace
