#include "mgmt/app_update_jobs.h"

#include "base/logger.h"
#include "engine/registry_id.h"

namespace {

bool activeLocked(const AppUpdateTable& updates, const std::string& component) {
    const auto it = updates.jobs.find(component);
    return (it != updates.jobs.end() && isActiveAppUpdateStatus(it->second.status)) ||
           updates.localUnpacking.count(component) > 0;
}

}  // namespace

bool isActiveAppUpdateStatus(const std::string& status) {
    return status == "downloading" || status == "verifying" || status == "extracting";
}

bool isValidComponentName(const std::string& component) { return isValidRegistryId(component); }

std::string appUpdateDownloadDir() { return "work/_update_dn"; }
std::string appUpdateReadyDir() { return "work/_update_ready"; }
std::string appUpdateArchivePath(const std::string& component) {
    return appUpdateDownloadDir() + "/" + component + ".zip";
}
std::string appUpdateUnpackDir(const std::string& component) { return appUpdateDownloadDir() + "/" + component; }
std::string appUpdateReadyDirOf(const std::string& component) { return appUpdateReadyDir() + "/" + component; }

bool beginAppUpdateJob(AppUpdateTable& updates, const AppUpdateJob& fresh, std::optional<AppUpdateJob>* previous) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    if (activeLocked(updates, fresh.component)) return false;
    const auto it = updates.jobs.find(fresh.component);
    *previous = it == updates.jobs.end() ? std::nullopt : std::optional<AppUpdateJob>(it->second);
    updates.jobs[fresh.component] = fresh;
    return true;
}

void restoreAppUpdateJob(AppUpdateTable& updates, const std::string& component,
                         const std::optional<AppUpdateJob>& previous) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    if (previous) {
        updates.jobs[component] = *previous;
    } else {
        updates.jobs.erase(component);
    }
}

bool beginLocalAppUpdate(AppUpdateTable& updates, const std::string& component) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    if (activeLocked(updates, component)) return false;
    updates.localUnpacking.insert(component);
    return true;
}

void endLocalAppUpdate(AppUpdateTable& updates, const std::string& component) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    updates.localUnpacking.erase(component);
}

std::optional<AppUpdateJob> findAppUpdateJob(AppUpdateTable& updates, const std::string& component) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    const auto it = updates.jobs.find(component);
    if (it == updates.jobs.end()) return std::nullopt;
    return it->second;
}

void setAppUpdateStatus(AppUpdateTable& updates, const std::string& component, const std::string& status) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    const auto it = updates.jobs.find(component);
    if (it != updates.jobs.end()) it->second.status = status;
}

void setAppUpdateTotal(AppUpdateTable& updates, const std::string& component, int64_t totalBytes) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    const auto it = updates.jobs.find(component);
    if (it != updates.jobs.end()) it->second.totalBytes = totalBytes;
}

void setAppUpdateProgress(AppUpdateTable& updates, const std::string& component, int64_t bytesDownloaded,
                          int64_t expectedBytes) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    const auto it = updates.jobs.find(component);
    if (it == updates.jobs.end()) return;
    it->second.bytesDownloaded = bytesDownloaded;
    if (expectedBytes > 0) {
        it->second.progressPercent = static_cast<double>(bytesDownloaded) / static_cast<double>(expectedBytes) * 100.0;
    }
}

void setAppUpdateReady(AppUpdateTable& updates, const std::string& component, bool sha256Verified) {
    std::lock_guard<std::mutex> lock(updates.mutex);
    const auto it = updates.jobs.find(component);
    if (it == updates.jobs.end()) return;
    it->second.status = "ready";
    it->second.progressPercent = 100;
    it->second.sha256Verified = sha256Verified;
}

void markAppUpdateFailed(AppUpdateTable& updates, const std::string& component, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(updates.mutex);
        const auto it = updates.jobs.find(component);
        if (it != updates.jobs.end()) {
            it->second.status = "failed";
            it->second.errorMessage = message;
        }
    }
    logMessage(1, "[mgmt] 앱 업데이트 다운로드 실패(%s): %s", component.c_str(), message.c_str());
}
