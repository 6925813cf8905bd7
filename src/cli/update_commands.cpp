#include "cli/update_commands.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <thread>

#include "base/json_parse.h"
#include "cli/serv_conf.h"
#include "cli/server_client.h"
#include "cli/server_commands.h"
#include "cli/server_process.h"
#include "cli/update_files.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReactivateAttempts = 20;
constexpr int kReactivateIntervalMs = 500;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string textOr(const json& object, const char* key, const std::string& fallback) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

json getJson(const ServerAddress& address, const std::string& path, int timeoutMs = kStatusReplyTimeoutMs) {
    const std::string body = httpGet(address.host, address.port, path, timeoutMs);
    try {
        return parseJson(body);
    } catch (const json::parse_error&) {
        throw std::runtime_error("could not parse brisvanesrv response.\nRaw response: " + body);
    }
}

// Whether the inference service counts as on: the registration is alive.
bool serviceWasUp(const ServerAddress& address) {
    try {
        const json status = getJson(address, "/mgmt-api/cli/status", kProbeReplyTimeoutMs);
        const json process = status.is_object() ? status.value("process", json::object()) : json::object();
        const std::string gateway = textOr(process, "gatewayStatus", "unregistered");
        return gateway == "connecting" || gateway == "connected" || gateway == "disconnected";
    } catch (const std::exception&) {
        return false;
    }
}

// Starts the server from the install folder on its home and waits until it
// answers. Prints the restart warning when it does not.
bool startServerAgain(const UpdateContext& context, const ServerAddress& address) {
    if (ensureServerRunning(address, context.home, context.confPath, kUpdateStartSeconds)) return true;
    std::cerr << "Warning: brisvanesrv 자동 재시작 실패 — 수동으로 실행해주세요.\n";
    return false;
}

void reactivate(const ServerAddress& address) {
    std::cout << "Reactivating (was up before the update)...\n" << std::flush;
    for (int attempt = 0; attempt < kReactivateAttempts; ++attempt) {
        sleepMs(kReactivateIntervalMs);
        try {
            postJson(address.host, address.port, "/mgmt-api/cli/up", "{}");
            return;
        } catch (const std::exception&) {
        }
    }
}

// Prints a failed copy and what could not be put back.
void reportReplaceFailed(const ReplaceFailed& failure, const char* what) {
    std::cerr << "Error: " << what << " failed: " << failure.what() << "\n";
    if (failure.undoProblems().empty()) {
        std::cerr << "The previous files were restored.\n";
        return;
    }
    std::cerr << "Warning: some files could not be restored:\n";
    for (const std::string& problem : failure.undoProblems()) std::cerr << "  " << problem << "\n";
}

bool isPolling(const std::string& status) {
    return status == "downloading" || status == "verifying" || status == "extracting";
}

}  // namespace

std::string updateTreeOf(const UpdateContext& context, const std::string& component) {
    return (fs::path(context.home) / "work" / "_update_ready" / component).string();
}

std::string rollbackDirOf(const UpdateContext& context) {
    return (fs::path(context.home) / "work" / "_rollback").string();
}

int cmdAppUpdateAvailable(const UpdateContext& context) {
    const ServerAddress address = serverAddress(context.confPath);
    json reply;
    try {
        reply = getJson(address, std::string("/mgmt-api/app/updateAvailable?component=") + kUpdateComponent);
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
    if (printReplyError(reply)) return 1;
    const bool available = reply.is_object() && reply.value("updateAvailable", false) == true;
    const std::string latest = textOr(reply, "latestVersion", "");
    if (available) {
        std::cout << "Update available: " << latest << "\n";
        const std::string notes = textOr(reply, "releaseNotes", "");
        if (!notes.empty()) std::cout << notes << "\n";
    } else {
        std::cout << "No update available. (latest: " << latest << ")\n";
    }
    return 0;
}

int cmdAppUpdateDn(const UpdateContext& context, const std::string& component, bool* ready) {
    const ServerAddress address = serverAddress(context.confPath);
    try {
        const json check = getJson(address, "/mgmt-api/app/updateAvailable?component=" + component);
        if (printReplyError(check)) return 1;
        const std::string latest = textOr(check, "latestVersion", "");
        if (!(check.is_object() && check.value("updateAvailable", false) == true)) {
            std::cout << "No update available. (latest: " << latest << ")\n";
            return 0;
        }
        const json body = {{"component", component}, {"targetVersion", latest}};
        const json started = postJson(address.host, address.port, "/mgmt-api/app/updateDownload", body.dump());
        if (printReplyError(started)) return 1;
        std::cout << "Downloading " << component << " " << latest << " ...\n" << std::flush;

        // Follows the job while it runs; gives up when nothing changes for
        // the stall time (a server that stopped moving).
        std::string lastSeen;
        Clock::time_point lastChange = Clock::now();
        json status;
        for (;;) {
            sleepMs(context.pollIntervalMs);
            status = getJson(address, "/mgmt-api/app/updateDownload?component=" + component, kProbeReplyTimeoutMs);
            const std::string state = textOr(status, "status", "");
            if (!isPolling(state)) break;
            const double percent = status.is_object() && status.value("progressPercent", json(0)).is_number()
                                       ? status["progressPercent"].get<double>()
                                       : 0.0;
            std::cout << "\r[" << state << "] " << std::fixed << std::setprecision(1) << percent << "%   "
                      << std::flush;
            const std::string seen = state + "|" + status.value("bytesDownloaded", json(0)).dump();
            if (seen != lastSeen) {
                lastSeen = seen;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange >= std::chrono::milliseconds(context.downloadStallMs)) {
                std::cerr << "\nUpdate download failed: no progress for " << context.downloadStallMs / 1000
                          << " s (status " << state << ")\n";
                return 1;
            }
        }
        const std::string state = textOr(status, "status", "");
        if (state == "ready") {
            std::cout << "\nDownload ready: work/_update_ready/" << component << "\n";
            if (ready) *ready = true;
            return 0;
        }
        std::cerr << "\nUpdate download failed: " << textOr(status, "errorMessage", state) << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
}

int applyUpdate(const UpdateContext& context, const std::string& component) {
    const std::string tree = updateTreeOf(context, component);
    std::error_code ec;
    if (!fs::is_directory(tree, ec)) {
        std::cerr << "Nothing to apply (no " << tree << ").\n";
        return 1;
    }
    const ServerAddress address = serverAddress(context.confPath);
    const bool wasUp = serviceWasUp(address);

    std::cout << "Stopping brisvanesrv...\n" << std::flush;
    if (!requestShutdown(address)) return 1;
    if (!waitServerStopped(address, kUpdateStopWaitMs)) {
        std::cerr << "Error: brisvanesrv 가 15초 안에 종료되지 않았습니다.\n";
        return 1;
    }

    const std::string version = readAppVersion(context.home);
    const std::string backup = rollbackDirOf(context);
    std::cout << "Backing up current files to work/_rollback...\n" << std::flush;
    try {
        backupForRollback(context.installDir, backup, tree);
        if (!version.empty()) {
            std::ofstream out(fs::path(backup) / "APP_VERSION.txt", std::ios::binary | std::ios::trunc);
            out << version;
            if (!out.flush()) throw std::runtime_error("cannot write APP_VERSION.txt");
        }
    } catch (const std::exception& e) {
        // Nothing of the installation has changed: the old version runs on.
        std::cerr << "Error: backup failed: " << e.what() << "\n";
        startServerAgain(context, address);
        return 1;
    }

    std::cout << "Applying update...\n" << std::flush;
    ReplaceResult replaced;
    try {
        replaced = replaceFiles(tree, context.installDir);
    } catch (const ReplaceFailed& failure) {
        reportReplaceFailed(failure, "update");
        std::cout << "Restarting brisvanesrv...\n" << std::flush;
        startServerAgain(context, address);
        return 1;
    }
    std::cout << "  " << replaced.count << " file(s) replaced.\n";
    fs::remove_all(tree, ec);

    std::cout << "Restarting brisvanesrv...\n" << std::flush;
    // The moved-aside ".old" files stay: they are the last way back, and no
    // command of the tool removes them.
    startServerAgain(context, address);
    if (wasUp) reactivate(address);
    return 0;
}

int cmdAppUpdate(const UpdateContext& context) {
    bool ready = false;
    int result = cmdAppUpdateDn(context, kUpdateComponent, &ready);
    if (result != 0 || !ready) return result;
    result = applyUpdate(context, kUpdateComponent);
    if (result == 0) std::cout << "\nUpdate applied. Run 'brisvane app_update_rollback' if something is wrong.\n";
    return result;
}

int cmdAppUpdateStep2(const UpdateContext& context) {
    const int result = applyUpdate(context, kUpdateComponent);
    if (result == 0) std::cout << "\nUpdate applied. Run 'brisvane app_update_rollback' if something is wrong.\n";
    return result;
}

int cmdAppUpdateLocal(const UpdateContext& context, const std::string& zipPath, const std::string& sha256) {
    std::cout << "Applying local zip: " << zipPath << "\n" << std::flush;
    const ServerAddress address = serverAddress(context.confPath);
    json reply;
    try {
        const json body = {{"component", kUpdateComponent}, {"sha256", sha256}, {"zipPath", zipPath}};
        reply = postJson(address.host, address.port, "/mgmt-api/app/updateLocal", body.dump());
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
    if (printReplyError(reply)) return 1;
    std::cout << "work/_update_ready 준비 완료.\n" << std::flush;
    const int result = applyUpdate(context, kUpdateComponent);
    if (result != 0) return result;
    std::cout << "\nLocal update applied. Run 'brisvane app_update_rollback' if something is wrong.\n";
    return 0;
}

int cmdAppUpdateRollback(const UpdateContext& context) {
    const std::string backup = rollbackDirOf(context);
    std::error_code ec;
    if (!fs::is_directory(backup, ec)) {
        std::cerr << "Error: work/_rollback 이 없습니다 — 복원할 내용이 없습니다.\n";
        return 1;
    }
    const ServerAddress address = serverAddress(context.confPath);
    std::cout << "Stopping brisvanesrv...\n" << std::flush;
    requestShutdown(address);
    waitServerStopped(address, kUpdateStopWaitMs);

    std::string version;
    {
        std::ifstream in(fs::path(backup) / "APP_VERSION.txt", std::ios::binary);
        if (in) std::getline(in, version);
    }
    std::cout << "Restoring from work/_rollback...\n" << std::flush;
    ReplaceResult restored;
    try {
        restored = replaceFiles(backup, context.installDir, {"APP_VERSION.txt"});
    } catch (const ReplaceFailed& failure) {
        reportReplaceFailed(failure, "rollback");
        std::cout << "Restarting brisvanesrv...\n" << std::flush;
        startServerAgain(context, address);
        return 1;
    }
    std::cout << "  " << restored.count << " file(s) restored.\n";
    fs::remove_all(backup, ec);

    std::cout << "Restarting brisvanesrv...\n" << std::flush;
    startServerAgain(context, address);
    std::cout << "\nRollback complete.";
    if (!version.empty()) std::cout << " (restored to version " << version << ")";
    std::cout << "\n";
    return 0;
}

int cmdAppUpdateCleanup(const UpdateContext& context) {
    const fs::path work = fs::path(context.home) / "work";
    std::error_code ec;
    // Only the update folders go; the ".old" files beside the programs stay.
    int cleaned = 0;
    for (const char* name : {"_update_dn", "_update_ready", "_rollback"}) {
        const fs::path folder = work / name;
        if (!fs::exists(fs::symlink_status(folder, ec))) continue;
        fs::remove_all(folder, ec);
        if (ec) {
            std::cerr << "Warning: " << folder.string() << " 삭제 실패: " << ec.message() << "\n";
            continue;
        }
        ++cleaned;
    }
    std::cout << cleaned << " directory(ies) cleaned up.\n";
    return 0;
}
