// The maker's model catalogue: one GET per call to the web service
// (BRISVANE_WEB_API or the built-in address, mgmt/registration_client.h)
// through the HTTPS client, answered with the envelope {"retcode",
// "retdesc", "data": {"model": record}}. Calls hold no lock and are safe from
// any number of threads.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

inline constexpr char kModelCatalogPath[] = "/brisvane/api/modelCatalog";

// The service's answer body for kModelCatalogPath + `query` ("" or "?" and
// the raw query text), unexamined. Throws std::runtime_error for connection,
// TLS, framing and size failures (mgmt/https_client.h) and
// std::invalid_argument for an unusable BRISVANE_WEB_API.
std::string fetchModelCatalogDocument(const std::string& query);

// The catalogue's answer for one model.
struct CatalogAnswer {
    int64_t retcode = -1;   // 0: the model is in the catalogue; a missing one counts as -1
    nlohmann::json record;  // data.model; null when the answer has none
};

// Asks the catalogue for `modelId` ("?modelId=" + the id, not escaped: the
// callers pass registry ids only) and parses the answer strictly. Throws
// std::runtime_error with the reason for transfer failures, an answer that
// is not JSON or not an object, and a "retcode" that is not an integer.
CatalogAnswer fetchCatalogRecord(const std::string& modelId);

// Record fields: the text at `key`, `fallback` when absent or null. Throws
// std::runtime_error "catalog field \"<key>\" is not a text" for another type
// (and for a record that is not an object).
std::string catalogText(const nlohmann::json& record, const char* key, const std::string& fallback);
// The integer at `key` (fallback when absent or null); throws like
// catalogText for another type.
int64_t catalogInteger(const nlohmann::json& record, const char* key, int64_t fallback);
