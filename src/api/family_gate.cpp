#include "api/family_gate.h"

#include "base/logger.h"
#include "engine/mivrel.h"

bool checkFamilyType(HttpRequestHandler& handler, Response& response, const Mivrel* mivrel,
                     const std::vector<std::string>& accepted, const std::string& endpoint) {
    if (mivrel == nullptr) return false;
    const std::string type = mivrel->config.familyType.empty() ? "LLM" : mivrel->config.familyType;
    std::string joined;
    for (const std::string& name : accepted) {
        if (name == type) return false;
        if (!joined.empty()) joined += "/";
        joined += name;
    }
    const std::string& id = mivrel->config.id;
    logMessage(4, "[%s] familyType=%s Mivrel 거절: %s", endpoint.c_str(), type.c_str(), id.c_str());
    sendJsonError(handler, response, 400, "unsupported_mivrel_type",
                  endpoint + " is not supported by Mivrel '" + id + "' (familyType=" + type +
                      ", supported: " + joined + ")");
    return true;
}
