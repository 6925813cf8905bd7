// The maker's web service as the program update sees it: the update check
// and the manifest of a target version, one HTTPS GET each (BRISVANE_WEB_API
// or the built-in address, app/registration_client.h), answered with the
// envelope {"retcode", "retdesc", "data"}. No lock; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// The platform word sent with every call.
inline constexpr char kUpdatePlatform[] = "linux-x64";

// The envelope of one answer.
struct WebServiceAnswer {
    int64_t retcode = -1;                       // a missing "retcode" counts as -1
    std::string retdesc = "server response error";
    nlohmann::json data = nlohmann::json::object();  // "data" as given, {} when absent
};

// GET "/brisvane/api/checkAppUpdate?component=..&currentVersion=..&platform=..",
// values inserted as they are. Throws std::runtime_error for transfer
// failures and an answer that is not a JSON object.
WebServiceAnswer fetchAppUpdateCheck(const std::string& component, const std::string& currentVersion);

// GET "/brisvane/api/appUpdateManifest?component=..&targetVersion=..&platform=..".
// Throws like fetchAppUpdateCheck.
WebServiceAnswer fetchAppUpdateManifest(const std::string& component, const std::string& targetVersion);

// The archive named by a manifest's "data".
struct UpdateManifest {
    std::string zipUrl;
    std::string zipSha256;  // "" when the manifest gives none
    int64_t zipSize = 0;    // 0 when the manifest gives none
};

// Reads "zipUrl", "zipSha256" and "zipSize" (absent or null: the defaults).
// Throws std::runtime_error for a field of another type or a negative size.
UpdateManifest readUpdateManifest(const nlohmann::json& data);
