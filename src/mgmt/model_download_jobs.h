// The process-wide table of model download jobs, one entry per model id.
// Entries are made by a download start or by the start-up recovery, replaced
// whole by the next start for the same model, and never removed while the
// process runs.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct ModelDownloadJob {
    std::string modelId;
    std::string name;
    // "downloading", "verifying", "completed", "failed", "verify_failed",
    // "paused" or "cancelled".
    std::string status;
    double progressPercent = 0;
    int64_t bytesDownloaded = 0;
    int64_t totalBytes = 0;
    int64_t speedBytesPerSec = 0;
    std::string errorMessage;
    bool stopRequested = false;
    bool cancelRequested = false;
};

// Ordered by model id (byte order). Every access holds modelDownloadJobsMutex,
// only for field updates and copies, never across network or disk work, and
// never together with modelsJsonMutex. Both live until the process ends and
// are never destroyed: detached download jobs may still run while it exits.
extern std::map<std::string, ModelDownloadJob>& modelDownloadJobs;
extern std::mutex& modelDownloadJobsMutex;

// After a restart, models still marked "downloading" in models.json become
// failed downloads ("Interrupted by brisvanesrv restart") in the table, with
// the size of the partial file on disk as their progress; their mark is
// cleared and models.json rewritten under modelsJsonMutex. No file is
// deleted. Never throws: a models.json that cannot be read, walked or written
// is logged and then nothing is added to the table. Called once by start-up,
// after models.json exists and before any request is served.
void recoverInterruptedDownloads();
