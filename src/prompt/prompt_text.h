// Conversions from chat-request JSON into prompt text shared by the family
// renderers. All are pure functions of their arguments: they keep no state,
// log nothing and are safe for concurrent use by multiple threads.
//
// JSON inputs are of the key-sorted kind (`nlohmann::json`). Errors of the
// JSON library (a wrongly typed value read with a typed accessor) propagate
// to the caller as its exceptions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "prompt/chat_prompt_renderer.h"

// The text of a message's "content": a string as it is; an array as the
// concatenation of its blocks' texts ("text" blocks, "tool_result" contents,
// "tool_use" blocks as compact {"arguments":...,"name":...}); anything else,
// or no "content", gives "". Non-object array elements are skipped; blocks of
// other types add nothing. Throws json::type_error when a "text", "type" or
// "name" is not a string, or a tool_result content element is not an object.
std::string messageContentText(const nlohmann::json& message);

// JSON with ", " between members and elements and ": " after keys, keys in
// ascending order, non-ASCII characters as their UTF-8 bytes. Invalid UTF-8
// inside a string value becomes U+FFFD; invalid UTF-8 in a key throws
// json::type_error.
std::string toJsonSpaced(const nlohmann::json& value);

// An object as toJsonSpaced writes it, but with the members named in
// `firstKeys` (those present, in list order) first, then the others in key
// order. Null gives "{}"; an array or scalar throws json::invalid_iterator
// ("cannot use key() for non-object iterators").
std::string toJsonSpacedKeysFirst(const nlohmann::json& value, const std::vector<std::string>& firstKeys);

// Tool-call arguments as text: null gives "{}"; a string that parses as
// strict JSON gives toJsonSpaced of the parsed value, any other string itself;
// any other value toJsonSpaced of it.
std::string argumentsText(const nlohmann::json& arguments);

// Writes "," before every item but the first: appends "," when needComma is
// set, then sets it.
void appendCommaAfterFirst(bool& needComma, std::string& out);

// Whether the message after `index` is a tool-result message by the Gemma4
// reading (role "tool", or a user message made only of tool_result blocks).
// REQUIRES: index + 1 < messages.size().
bool nextMessageHasToolResults(const MessageList& messages, size_t index);

// `text` with each byte passed through toupper in the "C" locale: only a-z
// change; every other byte, UTF-8 included, stays.
std::string toUpperAscii(std::string text);
