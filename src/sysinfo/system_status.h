// The system status document: live figures of the machine, the server's own
// state, one entry per instance listed in mivrel.json and, on request, the
// static hardware description. Built afresh for every request; nothing of it
// is kept.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

class MivrelManager;
struct DataFolders;

// "%02ld:%02ld:%02ld" of hours (not limited to two digits), minutes and
// seconds of `seconds`; 0 and below give "00:00:00".
std::string formatUptime(int64_t seconds);

// The "server" object: debugBuild, status, version, endpoint, uptime,
// uptimeSec, brisvaneId, gatewayStatus. `nowSec` is the wall clock in
// seconds since the Unix epoch.
nlohmann::json serverStatusJson(int64_t nowSec);

// The entries of the mivrel.json of `folders` in its order; the building
// stops at an element that is not an object, and an unreadable file gives
// []. `mivrels` (null: no manager) gives the live fields.
nlohmann::json mivrelStatusList(const DataFolders& folders, const MivrelManager* mivrels);

// The whole document for the registries and models folder of `folders`;
// "spec" only when `includeSpec`. Throws only when the processor sampler
// cannot be started.
nlohmann::json systemStatusDocument(const DataFolders& folders, const MivrelManager* mivrels, bool includeSpec);
