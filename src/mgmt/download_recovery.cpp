#include <filesystem>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "config/server_config.h"
#include "mgmt/json_files.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/model_registry.h"

namespace {

std::string textMember(const nlohmann::json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

void recoverInterruptedDownloads(const std::string& modelsDir, ModelDownloadTable& downloads) {
    std::vector<ModelDownloadJob> recovered;
    try {
        std::lock_guard<std::mutex> lock(modelsJsonMutex);
        const std::string path = modelsJsonPath(modelsDir);
        nlohmann::json registry = loadJsonFile(path);
        nlohmann::json& models = registry.at("models");
        bool changed = false;
        for (nlohmann::json& entry : models) {
            if (!jsonFlag(entry, "downloading")) continue;
            ModelDownloadJob job;
            job.modelId = textMember(entry, "modelId");
            job.name = textMember(entry, "name");
            job.status = "failed";
            job.errorMessage = "Interrupted by brisvanesrv restart";
            const std::string folder = modelFolderOf(modelsDir, entry);
            const std::string fileName = textMember(entry, "filename");
            if (!folder.empty() && !fileName.empty()) {
                const std::string file = folder + "/" + fileName;
                std::error_code ec;
                if (std::filesystem::exists(file, ec)) {
                    const std::uintmax_t size = std::filesystem::file_size(file, ec);
                    job.bytesDownloaded = ec ? 0 : static_cast<int64_t>(size);
                    logMessage(4, "[mgmt] 중단된 다운로드 파일 보존(이어받기용): %s (%lld bytes)", file.c_str(),
                               static_cast<long long>(job.bytesDownloaded));
                }
            }
            entry["downloading"] = false;
            changed = true;
            recovered.push_back(std::move(job));
        }
        if (changed) saveJsonFile(path, registry);
    } catch (const std::exception& e) {
        logMessage(2, "[mgmt] recoverInterruptedDownloads: models.json 처리 실패: %s", e.what());
        return;
    }
    std::lock_guard<std::mutex> lock(downloads.mutex);
    for (ModelDownloadJob& job : recovered) {
        logMessage(2, "[mgmt] 중단된 다운로드 복구: modelId=%s name=%s", job.modelId.c_str(), job.name.c_str());
        std::string id = job.modelId;
        downloads.jobs[id] = std::move(job);
    }
}
