// The limits every writer applies to a JSON document the server stores for
// its clients and serves back (instance settings, the model registry, model
// settings): one set of field limits, so that no endpoint stores what
// another would refuse, and a bound on each whole document, so that no
// sequence of accepted requests makes a listing or a start-up read grow
// without end. Lengths are in bytes.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "base/field_limits.h"

// Any text other than a name or a description.
inline constexpr size_t kMaxStoredTextLength = 4096;
// A member name.
inline constexpr size_t kMaxStoredKeyLength = 128;
// Members of one object, items of one array.
inline constexpr size_t kMaxStoredItems = 1024;

// Whole documents, measured as compact JSON (the files add their indentation).
inline constexpr size_t kMaxInstanceSettingsBytes = 64 * 1024;  // an instance's properties.json
inline constexpr size_t kMaxModelSettingsBytes = 1024 * 1024;   // a model's properties.json
inline constexpr size_t kMaxModelRegistryBytes = 8 * 1024 * 1024;  // models.json

// Empty when every part of `value` keeps the field limits: a text member
// "name" at most kMaxNameLength, "description" at most
// kMaxDescriptionLength, any other text kMaxStoredTextLength; member names
// at most kMaxStoredKeyLength; objects and arrays at most kMaxStoredItems
// entries. Otherwise the refusal's message, naming the first field beyond
// its limit and the limit (ready for a 400 "bad_request"). Thread-safe.
std::string storedFieldRefusal(const nlohmann::json& value);

// The same for a stored document `what` (its file name, for the message):
// also its compact form at most `maxBytes`. The array member `recordList`
// of a registry (the list of its records) is checked record by record,
// without the item limit on the list itself. Thread-safe.
std::string storedDocumentRefusal(const nlohmann::json& document, size_t maxBytes, const std::string& what,
                                  const std::string& recordList = "");
