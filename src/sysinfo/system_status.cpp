#include "sysinfo/system_status.h"

#include <cstdio>

#include "base/text_util.h"
#include "base/version.h"
#include "config/reported_address.h"
#include "config/runtime_properties.h"
#include "config/startup_state.h"
#include "engine/mivrel_manager.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_creation.h"
#include "mgmt/service_switch.h"
#include "relay/relay_lifecycle.h"
#include "sysinfo/mivrel_status_entry.h"
#include "sysinfo/system_figures.h"

std::string formatUptime(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char text[48];
    std::snprintf(text, sizeof(text), "%02ld:%02ld:%02ld", static_cast<long>(seconds / 3600),
                  static_cast<long>((seconds / 60) % 60), static_cast<long>(seconds % 60));
    return text;
}

nlohmann::json serverStatusJson(int64_t nowSec) {
    const int64_t started = serverStartTime.load();
    // Held as a signed 32-bit count, as the document has always carried it.
    const int32_t uptime = started < 1 ? 0 : static_cast<int32_t>(nowSec - started);
    nlohmann::json server = nlohmann::json::object();
    server["debugBuild"] = false;
    server["status"] = startupComplete.load() ? "running" : "stopped";
    server["version"] = kAppVersion;
    // The address as the process reports it everywhere (a runtime
    // properties change included), not the one the socket was bound to.
    server["endpoint"] = reportedServIp() + ":" + std::to_string(reportedServPort());
    server["uptime"] = formatUptime(uptime);
    server["uptimeSec"] = uptime < 0 ? 0 : uptime;
    server["brisvaneId"] = runtimePropertiesSnapshot().brisvaneIdRegistration;
    server["gatewayStatus"] = gatewayStatusName(relayStatus.load());
    return server;
}

nlohmann::json mivrelStatusList(const DataFolders& folders, const MivrelManager* mivrels) {
    nlohmann::json list = nlohmann::json::array();
    nlohmann::json registry;
    try {
        registry = loadJsonFile(mivrelJsonPath(folders.mivrel));
    } catch (const std::exception&) {
        return list;
    }
    const auto listed = registry.is_object() ? registry.find("mivrelList") : registry.end();
    if (listed == registry.end() || !listed->is_array()) return list;
    const int64_t now = nowMs();
    for (const nlohmann::json& item : *listed) {
        if (!item.is_object()) break;
        const auto idValue = item.find("mivrelId");
        const std::string id = idValue != item.end() && idValue->is_string() ? idValue->get<std::string>() : "";
        if (id.empty()) continue;
        const std::shared_ptr<Mivrel> mivrel = mivrels ? mivrels->find(id) : nullptr;
        list.push_back(mivrelStatusEntry(folders, id, mivrel, now));
    }
    return list;
}

nlohmann::json systemStatusDocument(const DataFolders& folders, const MivrelManager* mivrels, bool includeSpec) {
    nlohmann::json document = nlohmann::json::object();
    nlohmann::json usage = nlohmann::json::object();
    usage["cpu"] = cpuUsageJson();
    usage["memory"] = memoryUsageJson();
    usage["gpu"] = gpuUsageJson();
    usage["storage"] = diskUsageJson(folders.models);
    document["usage"] = std::move(usage);
    document["server"] = serverStatusJson(nowMs() / 1000);
    document["mivrelList"] = mivrelStatusList(folders, mivrels);
    if (includeSpec) {
        nlohmann::json spec = nlohmann::json::object();
        spec["cpu"] = cpuInfoJson();
        spec["memory"] = nlohmann::json{{"totalGB", memoryUsageJson()["totalGB"]}};
        spec["storage"] = diskUsageJson(folders.models);
        spec["gpu"] = gpuSpecJson();
        document["spec"] = std::move(spec);
    }
    return document;
}
