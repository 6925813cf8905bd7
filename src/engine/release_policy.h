// When an instance's engine is given back without anyone asking: never
// ("keep"), after each use ("after_generate"), or after N idle minutes
// ("idle:N"). The policy is resolved anew at every use from the instance's
// settings, the model's load defaults and the family default.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

struct ReleasePolicy {
    std::string kind = "keep";      // "keep", "after_generate" or "idle"
    int idleMinutes = 0;            // "idle" only
    std::string text = "keep";      // "keep", "after_generate" or "idle:N"
    std::string source = "default"; // "mivrel", "model" or "default"
};

// Resolves the policy of an instance from its settings (`params`), its model's
// properties and its familyType. A bad text is logged at level 2 with the
// instance id and resolves to "keep", keeping its source. Never throws.
ReleasePolicy resolveReleasePolicy(const std::string& id, const nlohmann::json& params,
                                   const nlohmann::json& modelProperties, const std::string& familyType);

// "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" of epoch milliseconds, UTC.
std::string formatReleaseTimeMs(int64_t epochMs);
