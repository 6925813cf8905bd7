// The tool texts of the Tolv prompt format: the tool prompt and the list of
// valid recipients in the system message, the atem call block that restates
// a past tool call, the tool_output message that returns a result, and the
// name of a call recovered from its raw text.
//
// Pure functions: no state, no logging, safe for concurrent use by multiple
// threads. Names, keys and argument values are copied without escaping
// unless stated. A tool entry that is not an object, or a "name" or
// "description" that is not a string, raises the JSON library's type_error.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The fixed texts around the tool schemas (673 and 583 bytes).
extern const char kTolvToolIntroduction[];
extern const char kTolvToolExample[];

// The declaration of a tool entry: its "function" member when that is an
// object, else the entry itself.
const nlohmann::json& toolFunctionObject(const nlohmann::json& entry);

// The distinct namespaces (the name up to its first ".") of the tools, in
// order of first use; empty unless `tools` is an array.
std::vector<std::string> toolNamespaces(const nlohmann::json& tools);

// Introduction, one metadata line per namespace, "// Function schemas", one
// schema line per tool, then the example.
std::string tolvToolPrompt(const nlohmann::json& tools);

// "# Valid recipients: \"self\"", one "NAMESPACE.*" per namespace, "\"user\".".
std::string tolvRecipientsLine(const nlohmann::json& tools);

// A JSON schema as spaced JSON with the members "type", "title",
// "description", "properties", "items", "enum", "required", "default" first
// (in that order) and the rest in key order; inside a properties map
// (`isPropertiesMap`) all names keep key order.
std::string tolvSchemaText(const nlohmann::json& value, bool isPropertiesMap = false);

// "<atem:function_calls>" block invoking `name` with one parameter line per
// member of an object input (a JSON string input is parsed first; text that
// does not parse, or any non-object input, gives no parameter lines).
std::string atemCallBlock(const std::string& name, const nlohmann::json& input);

// "<|start|>tool NAME<|message|><tool_output name=\"NAME\">\n" text
// "\n</tool_output><|eot|>", NAME "unknown" when `name` is empty.
std::string tolvToolOutputMessage(const std::string& name, const std::string& text);

// The recipient after the first "to=" of a raw call text (not "self" or
// "user"), else the name of its first "<atem:invoke name=\"...\"", else "".
std::string tolvNameFromRaw(const std::string& raw);
