// The table of program update jobs of one server, one record per component,
// and the folders an update of a component uses below the working directory
// (the home): the download folder "work/_update_dn" and the ready folder
// "work/_update_ready".
//
// The table and its busy marks are the only state of update jobs. Every
// access holds the table's mutex, only for short reads and writes, never
// across network or disk work. Records are created or replaced by a
// download start and never removed while the process runs.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

struct AppUpdateJob {
    std::string component;
    std::string targetVersion;
    // "downloading", "verifying", "extracting", "ready" or "failed".
    std::string status;
    double progressPercent = 0;
    int64_t bytesDownloaded = 0;
    int64_t totalBytes = 0;  // the manifest's "zipSize", 0 when it had none
    std::string errorMessage;
    bool sha256Verified = false;  // false while unchecked and when the manifest gave no digest
};

// The service context owns the table through a shared pointer that every
// detached update job also holds, so it lives as long as the last job even
// when the process ends without waiting for them. Use it through the
// functions below, which hold `mutex` for each look or change.
struct AppUpdateTable {
    std::mutex mutex;
    std::map<std::string, AppUpdateJob> jobs;  // by component
    std::set<std::string> localUnpacking;      // components a local update unpacks
};

// True for "downloading", "verifying" and "extracting".
bool isActiveAppUpdateStatus(const std::string& status);

// A component names files and folders: 1 to 128 of A-Z, a-z, 0-9, ".", "_"
// and "-", neither "." nor "..". Thread-safe.
bool isValidComponentName(const std::string& component);

// Paths of a component's update, relative to the working directory.
std::string appUpdateDownloadDir();                            // work/_update_dn
std::string appUpdateReadyDir();                               // work/_update_ready
std::string appUpdateArchivePath(const std::string& component);  // work/_update_dn/<component>.zip
std::string appUpdateUnpackDir(const std::string& component);    // work/_update_dn/<component>
std::string appUpdateReadyDirOf(const std::string& component);   // work/_update_ready/<component>

// Claims the component for a download: in one hold of the mutex, false when
// a job of the component is active or a local update of it is unpacking;
// otherwise stores `fresh` (status "downloading") and returns true with the
// record it replaced in `previous` (empty when there was none).
bool beginAppUpdateJob(AppUpdateTable& updates, const AppUpdateJob& fresh, std::optional<AppUpdateJob>* previous);

// Undoes beginAppUpdateJob when the download does not start after all (the
// manifest could not be used): puts `previous` back, or removes the record.
void restoreAppUpdateJob(AppUpdateTable& updates, const std::string& component,
                         const std::optional<AppUpdateJob>& previous);

// Claims the component for a local update: false while a download job of it
// is active or another local update of it unpacks. The claim ends with
// endLocalAppUpdate.
bool beginLocalAppUpdate(AppUpdateTable& updates, const std::string& component);
void endLocalAppUpdate(AppUpdateTable& updates, const std::string& component);

// A copy of the component's record, empty when there is none.
std::optional<AppUpdateJob> findAppUpdateJob(AppUpdateTable& updates, const std::string& component);

// Field updates of an existing record; nothing when there is none.
void setAppUpdateStatus(AppUpdateTable& updates, const std::string& component, const std::string& status);
void setAppUpdateTotal(AppUpdateTable& updates, const std::string& component, int64_t totalBytes);
void setAppUpdateProgress(AppUpdateTable& updates, const std::string& component, int64_t bytesDownloaded,
                          int64_t expectedBytes);
void setAppUpdateReady(AppUpdateTable& updates, const std::string& component, bool sha256Verified);

// Sets the record "failed" with `message` (when a record exists) and logs
// the failure at level 1.
void markAppUpdateFailed(AppUpdateTable& updates, const std::string& component, const std::string& message);

