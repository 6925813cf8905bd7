// Message content conversion: validates the content blocks of a chat
// request and rewrites them into what the prompt renderers understand. A
// document block becomes a text block holding the document; an image or
// audio block becomes a text block holding the media marker while the file's
// bytes go, in order, into the list of media inputs for the engine; no text
// supplied by the client may hold the marker itself.
//
// Every refusal is a thrown FileBlockError (file_references.h). All
// functions run on the request's connection thread; the store is opened at
// most once per call.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/file_references.h"
#include "engine/engine_records.h"

class Mivrel;

// The multimodal library's default media marker; the i-th MediaInput belongs
// to the i-th marker of the prompt.
inline constexpr const char* kMediaMarker = "<__media__>";

// Throws 400 "bad_request" "text must not contain the reserved marker
// <__media__>" when `text` holds the marker anywhere.
void checkReservedMarker(const std::string& text);

// "text", "image", "document", "audio", "tool_use", "tool_result",
// "thinking" or "redacted_thinking", compared exactly.
bool isKnownBlockType(const std::string& type);

// An object whose "type" is "document", "image" or "audio" and whose
// "source" is an object with "type" "file".
bool isFileSourcedBlock(const nlohmann::json& value);

// Rewrites `messages` (the request's array) in place and appends one
// MediaInput per image or audio block to `media`, in block order. Checks
// capability, role and the per-request counts (instance limits "maxImages",
// default 4, and "maxAudios", default 1) before a file is read. On a refusal
// the conversion stops; blocks rewritten so far stay rewritten. A message
// with array content whose "role" is present but not a string is refused
// with 400 "bad_request" as well.
void convertMessageContent(Mivrel& mivrel, const std::string& bearerToken, nlohmann::json& messages,
                           std::vector<MediaInput>& media);

// One string for a value made of text blocks and file-sourced document
// blocks (joined with a blank line between parts); a single file-sourced
// block becomes its document text; every other value is returned unchanged.
// No reserved-marker check. A text block of a joined array whose "text" is
// not a string is refused with 400 "bad_request".
nlohmann::json resolveTextContent(Mivrel& mivrel, const std::string& bearerToken, const nlohmann::json& value);
