// The update commands of the tool: ask whether an update exists, have the
// server download and unpack it while showing its progress, hand it a local
// archive, apply the unpacked update, roll the last update back and delete
// the update folders. The ".old" files an apply or rollback moves aside stay
// where they are: no command removes them, they are the last way back.
// Results go to standard output, failures to standard error; each returns
// the exit code, 0 or 1. Single-threaded use.
//
// Where things are: the files replaced are those of the tool's own folder
// (`installDir`); the update folders live in "work" below the server's home
// as the tool's configuration rules find it (the same rules that start the
// server there), so the server's download and the tool's apply meet in one
// "work" folder whatever the layout.
#pragma once

#include <string>
#include <vector>

inline constexpr char kUpdateComponent[] = "brisvanesrv";
// Waits: the server's stop after the shutdown request, its start after an
// apply or a rollback, and the longest time the download may show no
// progress before the tool gives up following it.
inline constexpr int kUpdateStopWaitMs = 15000;
inline constexpr int kUpdateStartSeconds = 20;
inline constexpr int kDownloadStallMs = 120000;

struct UpdateContext {
    std::string confPath;    // as the command line gave it or as found
    std::string home;        // the server's home: <home>/work holds the update folders
    std::string installDir;  // the folder whose files an update replaces
    int downloadStallMs = kDownloadStallMs;
    int pollIntervalMs = 500;
};

// <home>/work/_update_ready/<component>, <home>/work/_rollback.
std::string updateTreeOf(const UpdateContext& context, const std::string& component);
std::string rollbackDirOf(const UpdateContext& context);

int cmdAppUpdateAvailable(const UpdateContext& context);
// Downloads through the server and follows the progress until the job
// leaves "downloading", "verifying" and "extracting", a request fails, or
// the job shows no change for context.downloadStallMs. `ready` (when given)
// becomes true when the update is ready.
int cmdAppUpdateDn(const UpdateContext& context, const std::string& component, bool* ready);
int cmdAppUpdate(const UpdateContext& context);
int cmdAppUpdateStep2(const UpdateContext& context);
int cmdAppUpdateRollback(const UpdateContext& context);
int cmdAppUpdateCleanup(const UpdateContext& context);
int cmdAppUpdateLocal(const UpdateContext& context, const std::string& zipPath, const std::string& sha256);

// Stops the server, backs up, replaces the files, restarts the server and
// switches the service on again when it was on. A backup or copy that fails
// is undone and the server is started again on the files it had; 1 then.
int applyUpdate(const UpdateContext& context, const std::string& component);
