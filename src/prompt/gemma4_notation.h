// The compact notation of the Gemma4 prompt format: tool declarations, call
// arguments and tool results are written without JSON quoting. Keys are bare,
// strings stand between two "<|\"|>" quote tokens and are never escaped,
// schema type names are upper case and schema fields come in a fixed order.
//
// All functions are pure: they keep no state, log nothing and are safe for
// concurrent use by multiple threads. A value of the wrong JSON type where a
// string or boolean is read raises the JSON library's type_error, which the
// renderer lets pass to its caller.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "prompt/chat_prompt_renderer.h"

// The five-byte quote token of the notation.
extern const char kGemma4Quote[];

// A JSON value in the notation: null "None", booleans, numbers as the JSON
// library's compact text, strings between quote tokens, arrays and objects
// with "," between items; object members in key order, each key bare, or
// between quote tokens when `quoteKeys`.
std::string gemma4Value(const nlohmann::json& value, bool quoteKeys);

// One "<|tool>declaration:...<tool|>" entry for a tool (flat, or wrapped in a
// "function" object). A missing name is "unknown"; empty or non-object
// "parameters" write no parameters field. Throws json::type_error when the
// tool is not an object or a read string is not one.
std::string gemma4ToolDeclaration(const nlohmann::json& tool);

// The inside of a "properties:{...}" field: every property whose schema is
// an object (keys that name schema fields themselves are skipped) with its
// description, string enum, array items, nullable mark, nested properties and
// type, in that order.
std::string gemma4SchemaProperties(const nlohmann::json& properties);

// "<|tool_response>response:NAME...<tool_response|>": a result text that
// parses as a JSON object is written with bare keys, any other text is
// wrapped as {value:...} exactly as given. Never throws for the text.
std::string gemma4ToolResponse(const std::string& name, const std::string& text);

// The tool name of a result that does not state one: the calls known from
// the previous response (`priorToolCalls`) and from the assistant messages of
// `messages` are matched by id; without a match, a lone known call names it;
// otherwise "unknown".
std::string gemma4ToolResultName(const std::string& resultId, const nlohmann::json& priorToolCalls,
                                 const MessageList& messages);

// The name after the first "call:" of a call text (ASCII letters, digits,
// "_", "-", "."), possibly empty; empty when there is no "call:".
std::string gemma4CallName(const std::string& callText);
