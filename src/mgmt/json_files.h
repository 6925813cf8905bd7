// The JSON file helpers of the management API and the registries.
// They take no lock: a caller that reads, changes and writes a shared file
// orders that itself.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The whole file parsed as JSON, comments ignored. Throws std::runtime_error
// "Unable to open file: <path>" when it cannot be opened (missing included)
// and nlohmann::json::parse_error when it is not JSON (an empty file too) or
// is beyond the bounds of base/json_parse.h.
nlohmann::json loadJsonFile(const std::string& path);

// Writes `value` indented by 2 spaces, without a final newline, creating the
// parent folders. The file is replaced durably: a crash leaves the old or the
// new document, never a mix. Throws std::filesystem::filesystem_error when a
// folder cannot be made and std::runtime_error "failed to open file: <path>"
// (with the failing step) when the file cannot be written.
void saveJsonFile(const std::string& path, const nlohmann::json& value);

// True only when `value` is an object whose `key` holds the boolean true.
bool jsonFlag(const nlohmann::json& value, const std::string& key);
