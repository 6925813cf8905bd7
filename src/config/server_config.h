// The configuration file "conf/serv.conf" (fallback "conf/runtime.conf"): its
// text syntax, the search for it, and the process-wide values it sets.
//
// The values are written once by the server thread during start-up, before
// any other server thread exists, and only read afterwards (no lock).
#pragma once

#include <map>
#include <string>
#include <utility>

#include "base/conf_text.h"

namespace ServerConfig {
extern std::string SERV_IP;             // bind address, default "localhost"
extern int SERV_PORT;                   // 1..65535, default 4092
extern std::string RTC_LOCAL_MODE;      // "memory" or "socket"
extern bool LOCAL_V1_ACCESS;            // "/v1/" open to direct local calls
extern std::string confPathAbsolute;    // the "[home]" start-up line; handed to the tool for updates
extern std::string MAIN_LOG_FILE;       // accepted, without effect
extern std::string DIR_MIVREL;          // default "mivrel"
extern std::string DIR_MODELS;          // default "models"
extern std::string DIR_LOGS;            // default "logs" (event log only)
extern std::string WEBAPP_FILE_PATH;    // default "webapp"
extern std::string WEBAPP_PUBLIC_PATH;  // default ""
// Space a model download leaves free on the volume of DIR_MODELS, in MiB
// (default 1024); a download that would pass it fails.
extern long long MODELS_FREE_SPACE_RESERVE_MB;

// Puts every value back to its default. For tests.
void resetToDefaults();
}  // namespace ServerConfig


// The first of "conf/serv.conf", "conf/runtime.conf" (relative to the current
// directory) that can be read, as (text, path as listed). Files that cannot be
// opened are skipped; ("", "") when none opens. Logs "[conf] loaded: %s".
// A candidate that opens but cannot be read (a directory, an I/O error) ends
// the search: ("", its path) with its error text in `*error` (when given),
// so a broken configuration file never counts as "no file".
std::pair<std::string, std::string> findConfFile(std::string* error = nullptr);

// Sets ServerConfig from `values` in the table's order and rules. Returns 0,
// or 1011 with *error set when SERV_PORT is a number outside 1..65535 (the
// values before it are set then). Throws std::invalid_argument when SERV_PORT
// has no leading digits. Warnings go through the logger.
int applyServerConfig(const std::map<std::string, std::string>& values, std::string* error);

// modelsDir/modelId when the model id is not empty and that folder exists,
// else `fallback` unchanged.
std::string resolveModelStoragePath(const std::string& modelsDir, const std::string& modelId,
                                    const std::string& fallback);
// The same in DIR_MODELS.
std::string resolveModelStoragePath(const std::string& modelId, const std::string& fallback);

// True for "/x", "C:\x", "c:/x" and "\\server\share"; false for "C:", "C:x",
// "\x", relative paths and "".
bool isAbsolutePath(const std::string& path);
