// The runtime state file "work/.runtime.properties" and the process-wide
// values loaded from it. The server thread loads them during start-up; later
// the registration client and the management API rewrite keys.
#pragma once

#include <string>

namespace runtimeprops {
extern std::string appId;                  // APP_ID
extern std::string createdAt;              // CREATED_AT
extern std::string brisvaneIdRegistration; // BRISVANE_ID, registration copy
extern std::string brisvaneIdRelay;        // BRISVANE_ID, relay copy
extern std::string apiBase;                // API_BASE
extern std::string apiKey;                 // BRISVANE_API_KEY
extern std::string token;                  // BRISVANE_TOKEN
extern bool brisvaneExport;                // BRISVANE_EXPORT
extern std::string rtsHost;                // RTS_HOST
extern std::string firstAuthAt;            // FIRST_AUTH_AT
extern int expiresDays;                    // EXPIRES_DAYS
extern std::string appVersion;             // APP_VERSION
extern std::string appUpdatedAt;           // APP_UPDATED_AT
}  // namespace runtimeprops

// The relay service's fixed port.
inline constexpr int kRelayPort = 10815;

// Makes sure the runtime state file exists and holds an installation id, and
// loads its values. Returns false when it cannot; start-up goes on then.
bool firstStartup();
