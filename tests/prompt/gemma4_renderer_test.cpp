#include <gtest/gtest.h>

#include "family_test_util.h"
#include "prompt/gemma4_notation.h"
#include "prompt/gemma4_renderer.h"

using nlohmann::json;
using namespace family_test;

namespace {

const std::string Q = "<|\"|>";
const std::string kSystemThinking = "<|turn>system\n<|think|>\n<turn|>\n";
const std::string kUserHi = "<|turn>user\nHi<turn|>\n";
const std::string kModel = "<|turn>model\n";
const std::string kThought = "<|channel>thought\n";

// The clock tool of the declaration example, and its declaration text.
const json kClockTool = json::parse(R"({"name": "clock", "description": "Tells the time",
  "parameters": {"type": "object", "required": ["zone"],
                 "properties": {"zone": {"type": "string", "description": "Zone name"}}}})");
const std::string kClockDeclaration = "<|tool>declaration:clock{description:" + Q + "Tells the time" + Q +
                                      ",parameters:{properties:{zone:{description:" + Q + "Zone name" + Q +
                                      ",type:" + Q + "STRING" + Q + "}},required:[" + Q + "zone" + Q +
                                      "],type:" + Q + "OBJECT" + Q + "}}<tool|>";

std::string render(const MessageList& messages, const RenderOptions& o) { return Gemma4Renderer().render(messages, o); }

TEST(Gemma4Renderer, SystemTurnAndGenerationPromptFollowThinkToolsAndFreshContext) {
    struct Case {
        int think;
        bool noThinking;
        bool tools;
        bool defaultSystem;
        bool hasTools;
        std::string expected;
    };
    const std::string toolSystemThinking = "<|turn>system\n<|think|>\n" + kClockDeclaration + "<turn|>\n";
    const std::string toolSystem = "<|turn>system\n" + kClockDeclaration + "<turn|>\n";
    const Case cases[] = {
        // The worked example and its think 0 form.
        {1, false, false, true, false, kSystemThinking + kUserHi + kModel + kThought},
        {0, false, false, true, false, kUserHi + kModel},
        {2, false, false, true, false, kSystemThinking + kUserHi + kModel + kThought},
        {-3, false, false, true, false, kUserHi + kModel},
        {7, false, false, true, false, kSystemThinking + kUserHi + kModel + kThought},
        {1, true, false, true, false, kUserHi + kModel},
        {2, true, false, true, false, kUserHi + kModel},
        // The context already holds a conversation: no system turn, still a thought.
        {1, false, false, false, false, kUserHi + kModel + kThought},
        {0, false, false, false, false, kUserHi + kModel},
        // Tools always bring the system turn.
        {1, false, true, true, false, toolSystemThinking + kUserHi + kModel + kThought},
        {1, false, true, false, false, toolSystemThinking + kUserHi + kModel + kThought},
        {0, false, true, true, false, toolSystem + kUserHi + kModel},
        {1, true, true, false, false, toolSystem + kUserHi + kModel},
        // hasTools alone changes nothing.
        {1, false, false, true, true, kSystemThinking + kUserHi + kModel + kThought},
        {0, false, false, false, true, kUserHi + kModel},
    };
    for (const Case& c : cases) {
        RenderOptions o = options(c.think, c.defaultSystem, c.noThinking);
        o.hasTools = c.hasTools;
        if (c.tools) o.tools = json::array({kClockTool});
        EXPECT_EQ(render({msg("user", "Hi")}, o), c.expected)
            << "think " << c.think << " noThinking " << c.noThinking << " tools " << c.tools << " default "
            << c.defaultSystem << " hasTools " << c.hasTools;
    }
}

TEST(Gemma4Renderer, SystemMessagesAndRoles) {
    // A leading system message is trimmed; a white-space one is empty and the
    // declarations follow the header directly.
    RenderOptions o = options(1);
    EXPECT_EQ(render({msg("system", "  Be brief.\n"), msg("user", " Hi \n")}, o),
              "<|turn>system\n<|think|>\nBe brief.<turn|>\n" + kUserHi + kModel + kThought);
    o.tools = json::array({kClockTool});
    EXPECT_EQ(render({msg("developer", " \n\t"), msg("user", "Hi")}, o),
              "<|turn>system\n<|think|>\n" + kClockDeclaration + "<turn|>\n" + kUserHi + kModel + kThought);
    // A system message brings the system turn even with thinking off.
    EXPECT_EQ(render({msg("system", "S"), msg("user", "Hi")}, options(0, false)),
              "<|turn>system\nS<turn|>\n" + kUserHi + kModel);
    // Later developer and system messages are system turns; unknown roles and
    // a missing role are user turns.
    EXPECT_EQ(render({msg("user", "a"), msg("developer", "b"), msg("system", "c"), msg("critic", "d"),
                      json{{"content", "e"}}},
                     options(0)),
              "<|turn>user\na<turn|>\n<|turn>system\nb<turn|>\n<|turn>system\nc<turn|>\n<|turn>user\nd<turn|>\n"
              "<|turn>user\ne<turn|>\n" +
                  kModel);
    // An empty list is only the generation prompt (and the thinking system turn).
    EXPECT_EQ(render({}, options(1)), kSystemThinking + kModel + kThought);
}

TEST(Gemma4Renderer, ToolCallsAndResultsShareOneModelTurn) {
    const json call = msg("assistant", json::array({text("Checking"), toolUse("t1", "clock", {{"zone", "UTC"}})}));
    const std::string callText = "<|turn>model\nChecking<|tool_call>call:clock{zone:" + Q + "UTC" + Q + "}<tool_call|>";
    const std::string response12 = "<|tool_response>response:clock{value:" + Q + "12:00" + Q + "}<tool_response|>";

    // The worked example: the request ends inside the model turn.
    json named = {{"role", "tool"}, {"name", "clock"}, {"content", "12:00"}};
    EXPECT_EQ(render({call, named}, options(0, false)), callText + response12);

    // Two results and the answer: header once, one turn end.
    const json second = toolMessage("t1", "13:00");
    EXPECT_EQ(render({msg("user", "Time?"), call, toolMessage("t1", "12:00"), second, msg("assistant", "Noon.")},
                     options(0, false)),
              "<|turn>user\nTime?<turn|>\n" + callText + response12 +
                  "<|tool_response>response:clock{value:" + Q + "13:00" + Q + "}<tool_response|>Noon.<turn|>\n" +
                  kModel);

    // A user message after the results closes the open turn first.
    EXPECT_EQ(render({call, toolMessage("t1", "12:00"), msg("user", "Thanks")}, options(0, false)),
              callText + response12 + "<turn|>\n<|turn>user\nThanks<turn|>\n" + kModel);

    // A call that no result follows is closed at once.
    EXPECT_EQ(render({call, msg("user", "Never mind")}, options(0, false)),
              callText + "<turn|>\n<|turn>user\nNever mind<turn|>\n" + kModel);
    EXPECT_EQ(render({call}, options(0, false)), callText + "<turn|>\n" + kModel);

    // Results as the first new message continue the turn left open.
    const MessageList continuing = {msg("user", json::array({toolResult("t1", "12:00")}))};
    RenderOptions o = options(1, false);
    o.priorToolCalls = json::array({{{"id", "t1"}, {"raw", "call:clock{}"}}});
    EXPECT_EQ(render(continuing, o), response12);
    EXPECT_TRUE(Gemma4Renderer().continuesTurnAfterToolResult(continuing));
    EXPECT_FALSE(Gemma4Renderer().continuesTurnAfterToolResult({msg("user", "x"), toolMessage("t1", "y")}));
}

TEST(Gemma4Renderer, PastModelTurns) {
    struct Case {
        json message;
        std::string body;
    };
    const Case cases[] = {
        // Thought sections are removed and the text trimmed.
        {msg("assistant", " A<|channel>thought\nx<channel|>B \n"), "AB"},
        {msg("assistant", json::array({text("A<|channel>x"), text("<channel|>B")})), "AB"},
        // Thinking blocks and non-objects are ignored.
        {msg("assistant", json::array({json{{"type", "thinking"}, {"thinking", "t"}}, 5, text("A")})), "A"},
        // The raw call text is copied byte for byte; without raw and name the
        // call is empty; without input the arguments are {}.
        {msg("assistant", json::array({rawToolUse("r", "call:f{a:1} ")})), "<|tool_call>call:f{a:1} <tool_call|>"},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"id", "x"}}})), "<|tool_call><tool_call|>"},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"name", "now"}}})),
         "<|tool_call>call:now{}<tool_call|>"},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"name", "f"}, {"raw", ""}, {"input", {1, "s"}}}})),
         "<|tool_call>call:f[1," + Q + "s" + Q + "]<tool_call|>"},
        // A missing content is an empty turn.
        {json{{"role", "assistant"}}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render({c.message}, options(0, false)), kModel + c.body + "<turn|>\n" + kModel) << c.message.dump();
    }
}

TEST(Gemma4Renderer, StripThoughts) {
    const std::pair<std::string, std::string> cases[] = {
        {"A<|channel>x<channel|>B", "AB"},
        {"A<|channel>x", "A"},
        {"A<channel|>B", "AB"},
        {"A<|channel>x<channel|>B<|channel>y<channel|>C", "ABC"},
        {"<channel|><|channel>", ""},
        {"A<|channel>x<|channel>y<channel|>B", "AB"},
        {" \t A \n", "A"},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(gemma4StripThoughts(input), expected) << input;
}

TEST(Gemma4Renderer, WronglyTypedFieldsThrow) {
    const MessageList cases[] = {
        {json{{"role", 1}, {"content", "x"}}},
        {msg("user", json::array({json{{"type", "text"}, {"text", 5}}}))},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"name", 5}}}))},
        {msg("assistant", json::array({json{{"type", "tool_use"}, {"raw", true}}}))},
        {json{{"role", "tool"}, {"name", 3}, {"content", "x"}}},
        {json{{"role", "tool"}, {"tool_call_id", 3}, {"content", "x"}}},
    };
    for (const MessageList& messages : cases) {
        EXPECT_THROW(render(messages, options(1)), json::type_error) << json(messages).dump();
    }
    RenderOptions o = options(1);
    o.tools = json::array({"not a tool"});
    EXPECT_THROW(render({msg("user", "x")}, o), json::type_error);
}

TEST(Gemma4Notation, Values) {
    const json nested = json::parse(R"({"b": [1, "x", false], "a": null, "c": {"d": 2.5}})");
    const std::tuple<json, bool, std::string> cases[] = {
        {nullptr, false, "None"},
        {json::object(), false, "{}"},
        {json::array(), true, "[]"},
        {true, false, "true"},
        {-7, false, "-7"},
        {"say \"hi\"\nnow", false, Q + "say \"hi\"\nnow" + Q},
        {nested, false, "{a:None,b:[1," + Q + "x" + Q + ",false],c:{d:2.5}}"},
        {nested, true, "{" + Q + "a" + Q + ":None," + Q + "b" + Q + ":[1," + Q + "x" + Q + ",false]," + Q + "c" + Q +
                           ":{" + Q + "d" + Q + ":2.5}}"},
    };
    for (const auto& [value, quoteKeys, expected] : cases) {
        EXPECT_EQ(gemma4Value(value, quoteKeys), expected) << value.dump();
    }
}

TEST(Gemma4Notation, Declarations) {
    EXPECT_EQ(gemma4ToolDeclaration(kClockTool), kClockDeclaration);
    EXPECT_EQ(gemma4ToolDeclaration(json{{"type", "function"}, {"function", kClockTool}}), kClockDeclaration);

    const std::pair<json, std::string> cases[] = {
        {json::object(), "<|tool>declaration:unknown{description:" + Q + Q + "}<tool|>"},
        {json{{"name", "f"}, {"parameters", json::object()}}, "<|tool>declaration:f{description:" + Q + Q + "}<tool|>"},
        {json{{"name", "f"}, {"parameters", "x"}}, "<|tool>declaration:f{description:" + Q + Q + "}<tool|>"},
        // "function" that is not an object leaves the tool itself as the declaration.
        {json{{"name", "f"}, {"function", 1}}, "<|tool>declaration:f{description:" + Q + Q + "}<tool|>"},
        // Parameters without type are an OBJECT; an empty required list is left out.
        {json{{"name", "f"}, {"parameters", {{"required", json::array()}, {"properties", json::object()}}}},
         "<|tool>declaration:f{description:" + Q + Q + ",parameters:{properties:{},type:" + Q + "OBJECT" + Q +
             "}}<tool|>"},
        {json{{"name", "f"}, {"parameters", {{"type", "object"}, {"additionalProperties", false}}}},
         "<|tool>declaration:f{description:" + Q + Q + ",parameters:{type:" + Q + "OBJECT" + Q + "}}<tool|>"},
    };
    for (const auto& [tool, expected] : cases) EXPECT_EQ(gemma4ToolDeclaration(tool), expected) << tool.dump();
}

TEST(Gemma4Notation, SchemaProperties) {
    const std::pair<std::string, std::string> cases[] = {
        // Keys that name schema fields and non-object schemas are skipped.
        {R"({"type": {"type": "string"}, "description": {"type": "string"}, "x": "string", "a": {"type": "integer"}})",
         "a:{type:" + Q + "INTEGER" + Q + "}"},
        // A string enum is written with quoted values; other types drop it.
        {R"({"u": {"type": "string", "enum": ["c", "f"]}, "n": {"type": "integer", "enum": [1, 2]}})",
         "n:{type:" + Q + "INTEGER" + Q + "},u:{enum:[" + Q + "c" + Q + "," + Q + "f" + Q + "],type:" + Q + "STRING" +
             Q + "}"},
        // Empty descriptions, defaults, formats and bounds are dropped; nullable is kept.
        {R"({"p": {"type": "number", "description": "", "default": 1, "minimum": 0, "format": "f", "nullable": true}})",
         "p:{nullable:true,type:" + Q + "NUMBER" + Q + "}"},
        // No type still ends with an empty type.
        {R"({"p": {"description": "d"}})", "p:{description:" + Q + "d" + Q + ",type:" + Q + Q + "}"},
        // Array items: empty or non-object items give no field; null members are left out.
        {R"({"a": {"type": "array", "items": {}}, "b": {"type": "array", "items": "string"}})",
         "a:{type:" + Q + "ARRAY" + Q + "},b:{type:" + Q + "ARRAY" + Q + "}"},
        {R"({"a": {"type": "array", "items": {"type": "object", "description": null, "minItems": 1,
                   "properties": {"k": {"type": "boolean"}}, "required": ["k"]}}})",
         "a:{items:{minItems:1,properties:{k:{type:" + Q + "BOOLEAN" + Q + "}},required:[" + Q + "k" + Q +
             "],type:" + Q + "OBJECT" + Q + "},type:" + Q + "ARRAY" + Q + "}"},
        {R"({"a": {"type": "array", "items": {"type": ["string", "null"], "required": []}}})",
         "a:{items:{required:[],type:[" + Q + "string" + Q + "," + Q + "null" + Q + "]},type:" + Q + "ARRAY" + Q + "}"},
        // Nested objects carry their properties and required list.
        {R"({"o": {"type": "object", "description": "Box", "properties": {"w": {"type": "number"}}, "required": ["w"]}})",
         "o:{description:" + Q + "Box" + Q + ",properties:{w:{type:" + Q + "NUMBER" + Q + "}},required:[" + Q + "w" +
             Q + "],type:" + Q + "OBJECT" + Q + "}"},
        {R"({"o": {"type": "object", "properties": {}}})", "o:{properties:{},type:" + Q + "OBJECT" + Q + "}"},
    };
    for (const auto& [properties, expected] : cases) {
        EXPECT_EQ(gemma4SchemaProperties(json::parse(properties)), expected) << properties;
    }
    EXPECT_THROW(gemma4SchemaProperties(json::parse(R"({"p": {"type": 3}})")), json::type_error);
    EXPECT_THROW(gemma4SchemaProperties(json::parse(R"({"p": {"nullable": "yes"}})")), json::type_error);
}

TEST(Gemma4Notation, ToolResponses) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"temp": 21, "sky": "clear"})", "response:w{sky:" + Q + "clear" + Q + ",temp:21}"},
        {"[1, 2]", "response:w{value:" + Q + "[1, 2]" + Q + "}"},
        {"42", "response:w{value:" + Q + "42" + Q + "}"},
        {"Sunny \"and\" warm", "response:w{value:" + Q + "Sunny \"and\" warm" + Q + "}"},
        {"{broken", "response:w{value:" + Q + "{broken" + Q + "}"},
        {"", "response:w{value:" + Q + Q + "}"},
    };
    for (const auto& [text, body] : cases) {
        EXPECT_EQ(gemma4ToolResponse("w", text), "<|tool_response>" + body + "<tool_response|>") << text;
    }
}

TEST(Gemma4Notation, ResultNamesFromKnownCalls) {
    const json prior = json::array({{{"id", "p1"}, {"raw", "call:lookup{id:1}"}}, {{"id", "p2"}, {"raw", "odd"}}});
    const MessageList messages = {
        msg("assistant", json::array({toolUse("m1", "note", json::object()), rawToolUse("m2", "call:get-x.v2{}"),
                                      rawToolUse("p2", "call:second{}")})),
        msg("user", json::array({toolUse("u1", "ignored", json::object())})),
    };
    const std::pair<std::string, std::string> cases[] = {
        {"p1", "lookup"},
        {"m1", "note"},
        {"m2", "get-x.v2"},
        // The first candidate with the id has no name: the next one with it does.
        {"p2", "second"},
        // No match among several candidates, and no id.
        {"zz", "unknown"},
        {"", "unknown"},
    };
    for (const auto& [id, expected] : cases) EXPECT_EQ(gemma4ToolResultName(id, prior, messages), expected) << id;

    // A lone candidate names any result; one in another form names none.
    const json lone = json::array({{{"id", "a"}, {"raw", "call:only{}"}}});
    EXPECT_EQ(gemma4ToolResultName("zz", lone, {}), "only");
    EXPECT_EQ(gemma4ToolResultName("", lone, {}), "only");
    EXPECT_EQ(gemma4ToolResultName("a", json::array({{{"id", "a"}, {"raw", "to=x"}}}), {}), "unknown");
    EXPECT_EQ(gemma4ToolResultName("a", json::object(), {}), "unknown");

    // Rendered: a result without a stated name takes the resolved one.
    RenderOptions o = options(0, false);
    o.priorToolCalls = prior;
    EXPECT_EQ(render({msg("user", json::array({toolResult("p1", "ok"), toolResult("zz", "?")}))}, o),
              "<|tool_response>response:lookup{value:" + Q + "ok" + Q + "}<tool_response|>"
              "<|tool_response>response:unknown{value:" + Q + "?" + Q + "}<tool_response|>");
}

TEST(Gemma4Notation, CallNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"call:get_weather{city:x}", "get_weather"},
        {"xx call:a-b.c_9 rest", "a-b.c_9"},
        {"call:{}", ""},
        {"no call here", ""},
        {"call:é", ""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(gemma4CallName(text), expected) << text;
}

}  // namespace
