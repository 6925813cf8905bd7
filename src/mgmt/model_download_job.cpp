#include "mgmt/model_download_job.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <mutex>

#include "base/logger.h"
#include "base/stored_document.h"
#include "mgmt/file_digest.h"
#include "mgmt/json_files.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/model_file_transfer.h"
#include "mgmt/model_registry.h"

namespace fs = std::filesystem;

namespace {

// Thrown inside the job when it has already been ended by
// finishAbortedDownload.
struct JobEnded {};

void setStatus(ModelDownloadTable& downloads, const std::string& modelId, const char* status) {
    std::lock_guard<std::mutex> lock(downloads.mutex);
    const auto it = downloads.jobs.find(modelId);
    if (it != downloads.jobs.end()) it->second.status = status;
}

// Sets the model's registry entry fields under modelsJsonMutex. Throws when
// models.json cannot be read, has no entry for the model or cannot be
// written; a damaged file is never replaced.
void updateEntry(const std::string& modelsDir, const std::string& modelId, const nlohmann::json& fields) {
    std::lock_guard<std::mutex> lock(modelsJsonMutex);
    nlohmann::json registry = loadModelsRegistry(modelsDir);
    const long index = findModelIndex(registry, modelId);
    if (index < 0) throw std::runtime_error("modelId not in models.json: " + modelId);
    registry["models"][static_cast<size_t>(index)].update(fields);
    saveJsonFile(modelsJsonPath(modelsDir), registry);
}

int64_t sizeOnDisk(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

std::string lowerText(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string fileNameOf(const std::string& path) { return fs::path(path).filename().string(); }

// Transfers, size-checks and verifies one file; ends the job and throws
// JobEnded on a size or digest mismatch.
void fetchAndCheck(ModelDownloadTable& downloads, const std::string& modelsDir, const std::string& modelId,
                   const ModelDownloadFile& file, size_t index, size_t count, int64_t& bytesBefore,
                   int64_t totalBytes) {
    int64_t startOffset = std::max<int64_t>(0, sizeOnDisk(file.path));
    if (file.size > 0 && startOffset > file.size) {
        std::error_code ec;
        fs::remove(file.path, ec);
        startOffset = 0;
    }
    if (file.size > 0 && file.size == startOffset) {
        logMessage(4, "[mgmt] 다운로드 건너뜀(이미 완료) [%zu/%zu]: %s", index + 1, count, file.path.c_str());
    } else {
        setStatus(downloads, modelId, "downloading");
        logMessage(4, "[mgmt] 다운로드 시작 [%zu/%zu]: %s (startOffset=%lld)", index + 1, count, file.path.c_str(),
                   static_cast<long long>(startOffset));
        downloadModelFile(downloads, file.url, "", file.path, modelId, file.size, startOffset, bytesBefore,
                          totalBytes);
    }
    const std::string name = fileNameOf(file.path);
    const int64_t actual = std::max<int64_t>(0, sizeOnDisk(file.path));
    if (file.size > 0 && actual != file.size) {
        finishAbortedDownload(downloads, modelsDir, modelId, "failed",
                              "파일 크기 불일치: " + name + " (expected=" + std::to_string(file.size) +
                                  " actual=" + std::to_string(actual) + ")",
                              {file.path});
        throw JobEnded{};
    }
    if (!file.sha256.empty()) {
        setStatus(downloads, modelId, "verifying");
        if (sha256File(file.path) != lowerText(file.sha256)) {
            finishAbortedDownload(downloads, modelsDir, modelId, "verify_failed", "SHA256 불일치: " + name,
                                  {file.path});
            throw JobEnded{};
        }
    }
    bytesBefore += file.size > 0 ? file.size : actual;
}

// The "files" mapping of a multi-file model's properties.json.
void addRoles(const std::string& modelId, const std::vector<ModelDownloadFile>& files, nlohmann::json& params) {
    if (files.size() <= 1 || (params.is_object() && params.contains("files"))) return;
    nlohmann::json roles = nlohmann::json::object();
    for (const ModelDownloadFile& file : files) {
        if (!file.role.empty()) roles[file.role] = fileNameOf(file.path);
    }
    if (roles.empty()) {
        logMessage(2,
                   "[mgmt] 다중 파일 모델인데 역할 정보가 없습니다 (params.files / files[].role): %s — "
                   "properties.json 의 files 맵을 직접 채워야 로드할 수 있습니다",
                   modelId.c_str());
        return;
    }
    if (!params.is_object()) params = nlohmann::json::object();
    params["files"] = std::move(roles);
}

}  // namespace

bool finishAbortedDownload(ModelDownloadTable& downloads, const std::string& modelsDir, const std::string& modelId,
                           const std::string& status, const std::string& message,
                           const std::vector<std::string>& pathsToDelete) {
    for (const std::string& path : pathsToDelete) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(path, ec))) continue;
        logMessage(4, "[mgmt] 다운로드 중단(%s) — 파일 삭제: %s", status.c_str(), path.c_str());
        fs::remove(path, ec);
    }
    if (pathsToDelete.empty()) {
        logMessage(4, "[mgmt] 다운로드 중단(%s) — 이어받기용 파일 유지: %s", status.c_str(), modelId.c_str());
    }
    try {
        updateEntry(modelsDir, modelId, {{"downloading", false}});
    } catch (const std::exception& e) {
        logMessage(2, "[mgmt] models.json 업데이트 실패: %s", e.what());
    }
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        const auto it = downloads.jobs.find(modelId);
        if (it != downloads.jobs.end()) {
            // Until the status leaves the active ones, a cancel is still
            // accepted: one that came after the pause wins.
            if (status == "paused" && it->second.cancelRequested) return false;
            it->second.status = status;
            it->second.errorMessage = message;
        }
    }
    if (status == "failed") {
        logMessage(1, "[mgmt] 다운로드 실패: %s — %s", modelId.c_str(), message.c_str());
    } else {
        logMessage(4, "[mgmt] 다운로드 %s: %s", status == "paused" ? "일시정지" : "취소", modelId.c_str());
    }
    return true;
}

void runModelDownloadJob(std::shared_ptr<ModelDownloadTable> table, std::string modelsDir, std::string modelId,
                         std::vector<ModelDownloadFile> files, nlohmann::json params) {
    ModelDownloadTable& downloads = *table;
    int64_t totalBytes = 0;
    for (const ModelDownloadFile& file : files) totalBytes += file.size;
    try {
        updateEntry(modelsDir, modelId, {{"downloading", true}});
    } catch (const std::exception& e) {
        logMessage(2, "[mgmt] models.json 업데이트 실패: %s", e.what());
    }

    try {
        int64_t bytesBefore = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            fetchAndCheck(downloads, modelsDir, modelId, files[i], i, files.size(), bytesBefore, totalBytes);
        }

        // The settings go in place before the model is stamped usable, so an
        // instance made as soon as the download completes finds them.
        addRoles(modelId, files, params);
        const std::string tooLarge =
            params.is_null() ? std::string() : storedDocumentRefusal(params, kMaxModelSettingsBytes, "properties.json");
        if (!tooLarge.empty()) {
            logMessage(2, "[mgmt] properties.json 저장 실패: %s", tooLarge.c_str());
        } else if (!params.is_null() && !params.empty() && !files.empty()) {
            try {
                saveJsonFile((fs::path(files.front().path).parent_path() / "properties.json").string(), params);
                logMessage(4, "[mgmt] 모델 properties.json 저장: %s", modelId.c_str());
            } catch (const std::exception& e) {
                logMessage(2, "[mgmt] properties.json 저장 실패: %s", e.what());
            }
        }
        // Only a model that models.json records as downloaded is usable: a
        // stamp that cannot be written fails the job instead of reporting
        // success.
        try {
            updateEntry(modelsDir, modelId, {{"downloading", false}, {"downloadedAt", utcTimestamp()}});
        } catch (const std::exception& e) {
            finishAbortedDownload(downloads, modelsDir, modelId, "failed",
                                  std::string("cannot record the download in models.json: ") + e.what(), {});
            return;
        }
        {
            std::lock_guard<std::mutex> lock(downloads.mutex);
            const auto it = downloads.jobs.find(modelId);
            if (it != downloads.jobs.end()) {
                it->second.status = "completed";
                it->second.progressPercent = 100.0;
                it->second.speedBytesPerSec = 0;
            }
        }
        logMessage(4, "[mgmt] 다운로드 완료: %s (파일 %zu개, %lld bytes)", modelId.c_str(), files.size(),
                   static_cast<long long>(totalBytes));
    } catch (const JobEnded&) {
    } catch (const std::exception& e) {
        if (std::string(e.what()) == kTransferCancelled) {
            bool cancel = false;
            {
                std::lock_guard<std::mutex> lock(downloads.mutex);
                const auto it = downloads.jobs.find(modelId);
                cancel = it != downloads.jobs.end() && it->second.cancelRequested;
            }
            std::vector<std::string> paths;
            for (const ModelDownloadFile& file : files) paths.push_back(file.path);
            if (cancel || !finishAbortedDownload(downloads, modelsDir, modelId, "paused", "", {})) {
                finishAbortedDownload(downloads, modelsDir, modelId, "cancelled", "", paths);
            }
        } else {
            finishAbortedDownload(downloads, modelsDir, modelId, "failed", e.what(), {});
        }
    } catch (...) {
        finishAbortedDownload(downloads, modelsDir, modelId, "failed", "unknown error", {});
    }
}
