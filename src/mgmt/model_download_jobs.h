// The table of model download jobs of one server, one entry per model id.
// Entries are made by a download start or by the start-up recovery, replaced
// whole by the next start for the same model, and never removed while the
// process runs.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
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

// The service context owns the table through a shared pointer that every
// detached download job also holds, so it lives as long as the last job even
// when the process ends without waiting for them. Every access holds `mutex`,
// only for field updates and copies, never across network or disk work, and
// never together with modelsJsonMutex.
struct ModelDownloadTable {
    std::mutex mutex;
    std::map<std::string, ModelDownloadJob> jobs;  // by model id (byte order)
    // Models whose download start is between its checks and its job entry,
    // so that two starts for one model cannot both pass them.
    std::set<std::string> starting;
};

// After a restart, models still marked "downloading" in the models.json of
// `modelsDir` become failed downloads ("Interrupted by brisvanesrv restart")
// in `downloads`, with the size of the partial file on disk as their
// progress; their mark is cleared and models.json rewritten under
// modelsJsonMutex. No file is
// deleted. Never throws: a models.json that cannot be read, walked or written
// is logged and then nothing is added to the table. Called once by start-up,
// after models.json exists and before any request is served.
void recoverInterruptedDownloads(const std::string& modelsDir, ModelDownloadTable& downloads);
