#include "mgmt/app_update_jobs.h"

#include <set>

#include "base/logger.h"
#include "engine/registry_id.h"

namespace {

// Never destroyed: detached workers may still update them while the process
// exits.
std::mutex& jobsMutex = *new std::mutex;
std::map<std::string, AppUpdateJob>& jobs = *new std::map<std::string, AppUpdateJob>;
std::set<std::string>& localUnpacking = *new std::set<std::string>;

bool activeLocked(const std::string& component) {
    const auto it = jobs.find(component);
    return (it != jobs.end() && isActiveAppUpdateStatus(it->second.status)) || localUnpacking.count(component) > 0;
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

bool beginAppUpdateJob(const AppUpdateJob& fresh, std::optional<AppUpdateJob>* previous) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    if (activeLocked(fresh.component)) return false;
    const auto it = jobs.find(fresh.component);
    *previous = it == jobs.end() ? std::nullopt : std::optional<AppUpdateJob>(it->second);
    jobs[fresh.component] = fresh;
    return true;
}

void restoreAppUpdateJob(const std::string& component, const std::optional<AppUpdateJob>& previous) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    if (previous) {
        jobs[component] = *previous;
    } else {
        jobs.erase(component);
    }
}

bool beginLocalAppUpdate(const std::string& component) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    if (activeLocked(component)) return false;
    localUnpacking.insert(component);
    return true;
}

void endLocalAppUpdate(const std::string& component) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    localUnpacking.erase(component);
}

std::optional<AppUpdateJob> findAppUpdateJob(const std::string& component) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    const auto it = jobs.find(component);
    if (it == jobs.end()) return std::nullopt;
    return it->second;
}

void setAppUpdateStatus(const std::string& component, const std::string& status) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    const auto it = jobs.find(component);
    if (it != jobs.end()) it->second.status = status;
}

void setAppUpdateTotal(const std::string& component, int64_t totalBytes) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    const auto it = jobs.find(component);
    if (it != jobs.end()) it->second.totalBytes = totalBytes;
}

void setAppUpdateProgress(const std::string& component, int64_t bytesDownloaded, int64_t expectedBytes) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    const auto it = jobs.find(component);
    if (it == jobs.end()) return;
    it->second.bytesDownloaded = bytesDownloaded;
    if (expectedBytes > 0) {
        it->second.progressPercent = static_cast<double>(bytesDownloaded) / static_cast<double>(expectedBytes) * 100.0;
    }
}

void setAppUpdateReady(const std::string& component, bool sha256Verified) {
    std::lock_guard<std::mutex> lock(jobsMutex);
    const auto it = jobs.find(component);
    if (it == jobs.end()) return;
    it->second.status = "ready";
    it->second.progressPercent = 100;
    it->second.sha256Verified = sha256Verified;
}

void markAppUpdateFailed(const std::string& component, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        const auto it = jobs.find(component);
        if (it != jobs.end()) {
            it->second.status = "failed";
            it->second.errorMessage = message;
        }
    }
    logMessage(1, "[mgmt] 앱 업데이트 다운로드 실패(%s): %s", component.c_str(), message.c_str());
}

void resetAppUpdateJobs() {
    std::lock_guard<std::mutex> lock(jobsMutex);
    jobs.clear();
    localUnpacking.clear();
}
