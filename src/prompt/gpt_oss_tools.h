// The tool declarations of the GPT-OSS prompt format: a TypeScript-like
// "namespace functions" block with one "type name = (_: {...}) => any;" per
// tool, its description as a comment and each parameter's type and default.
//
// Pure functions: no state, no logging, safe for concurrent use by multiple
// threads. Names, keys, descriptions and string defaults are copied without
// escaping. A tool entry that is not an object, or a "description", "name",
// "type" or "nullable" of the wrong JSON type, raises the JSON library's
// type_error.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The whole block written after "# Tools\n\n" of the developer message, from
// "## functions" to "} // namespace functions". `tools` is an array of tool
// entries (flat, or with the declaration in a "function" object).
std::string gptOssToolNamespace(const nlohmann::json& tools);

// The type expression of one JSON schema ("string", "number[]", a union of
// enum values, a nested object type, "any", ...).
std::string typeScriptType(const nlohmann::json& schema);
