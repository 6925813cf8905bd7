#include "app/runtime_properties.h"

namespace runtimeprops {
std::string appId;
std::string createdAt;
std::string brisvaneIdRegistration;
std::string brisvaneIdRelay;
std::string apiBase;
std::string apiKey;
std::string token;
bool brisvaneExport = false;
std::string rtsHost;
std::string firstAuthAt;
int expiresDays = 0;
std::string appVersion;
std::string appUpdatedAt;
}  // namespace runtimeprops

// Filled in with the runtime state file's reader and writer.
bool firstStartup() { return true; }
