#include "mgmt/model_removal.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/logger.h"
#include "engine/mivrel_manager.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/model_registry.h"

namespace {

bool isActiveStatus(const std::string& status) { return status == "downloading" || status == "verifying"; }

ModelRemovalResult failure(int status, const std::string& code, const std::string& message) {
    ModelRemovalResult result;
    result.status = status;
    result.code = code;
    result.message = message;
    return result;
}

// The modelId the instance's properties.json names now ("" when unreadable).
std::string storedModelId(const std::string& mivrelDir, const std::string& mivrelId) {
    try {
        const nlohmann::json props =
            loadJsonFile((std::filesystem::path(mivrelFolder(mivrelDir, mivrelId)) / "properties.json").string());
        return modelText(props, "modelId");
    } catch (const std::exception&) {
        return std::string();
    }
}

}  // namespace

std::vector<std::string> instancesOfModel(const DataFolders& folders, const MivrelManager* mivrels,
                                          const std::string& modelId) {
    std::vector<std::string> ids;
    if (!mivrels) return ids;
    for (const std::shared_ptr<Mivrel>& mivrel : mivrels->snapshotMivrels()) {
        // The running configuration names the model the instance was loaded
        // with; its properties.json the one a change has chosen since.
        const std::string& id = mivrel->config.id;
        if (modelText(mivrel->config.loadSettings.params, "modelId") == modelId ||
            (isUsableMivrelId(mivrels, id) && storedModelId(folders.mivrel, id) == modelId)) {
            ids.push_back(id);
        }
    }
    return ids;
}

void cancelDownloadAndWait(ModelDownloadTable& downloads, const std::string& modelId, int waitMs) {
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        const auto it = downloads.jobs.find(modelId);
        if (it == downloads.jobs.end() || !isActiveStatus(it->second.status)) return;
        it->second.cancelRequested = true;
        it->second.stopRequested = true;
    }
    for (int waited = 0; waited < waitMs; waited += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::lock_guard<std::mutex> lock(downloads.mutex);
        const auto it = downloads.jobs.find(modelId);
        if (it == downloads.jobs.end() || !isActiveStatus(it->second.status)) return;
    }
    logMessage(2, "[mgmt] 모델[%s] 다운로드 취소 대기 시간 초과 — 삭제 계속", modelId.c_str());
}

ModelRemovalResult removeModel(const DataFolders& folders, MivrelManager* mivrels, ModelDownloadTable& downloads,
                               const std::string& modelId) {
    // The id names the folder that goes with the model.
    if (!isValidRegistryId(modelId)) return failure(404, "model_not_found", "unknown modelId: " + modelId);
    nlohmann::json entry;
    try {
        const nlohmann::json registry = loadModelsRegistry(folders.models);
        const long index = findModelIndex(registry, modelId);
        if (index < 0) return failure(404, "model_not_found", "unknown modelId: " + modelId);
        entry = registry["models"][static_cast<size_t>(index)];
    } catch (const std::exception& e) {
        return failure(500, "internal_error", e.what());
    }

    cancelDownloadAndWait(downloads, modelId, 10000);

    for (const std::string& id : instancesOfModel(folders, mivrels, modelId)) {
        std::string error;
        if (!forceDeleteMivrel(folders, mivrels, id, error)) {
            return failure(500, "internal_error", "failed to delete linked Mivrel (" + id + "): " + error);
        }
        logMessage(4, "[mgmt] 모델[%s] 삭제에 연동해 Mivrel[%s] 강제 삭제", modelId.c_str(), id.c_str());
    }

    // The folder test, the removal and the entry's removal hold the registry
    // lock together, so no registration can start sharing the folder between
    // the test and the removal.
    try {
        std::lock_guard<std::mutex> lock(modelsJsonMutex);
        nlohmann::json registry = loadModelsRegistry(folders.models);
        const std::string folder = modelFolderOf(folders.models, entry);
        std::error_code ec;
        if (!folder.empty() && std::filesystem::exists(std::filesystem::symlink_status(folder, ec))) {
            if (!isInsideModelsDir(folders.models, folder)) {
                logMessage(4, "[mgmt] 모델[%s] 폴더는 모델 디렉토리 밖이라 유지: %s", modelId.c_str(), folder.c_str());
            } else if (folderUsedByAnotherModel(folders.models, registry, modelId, folder)) {
                // A registration may name another model's folder (or one
                // around or inside it): those files are not this model's alone.
                logMessage(2, "[mgmt] 모델[%s] 폴더는 다른 모델도 사용하므로 유지: %s", modelId.c_str(), folder.c_str());
            } else {
                std::filesystem::remove_all(folder, ec);
                if (ec) return failure(500, "internal_error", "failed to delete files: " + ec.message());
            }
        }
        const long index = findModelIndex(registry, modelId);
        if (index >= 0) {
            registry["models"].erase(static_cast<size_t>(index));
            saveJsonFile(modelsJsonPath(folders.models), registry);
        }
    } catch (const std::exception& e) {
        return failure(500, "internal_error", e.what());
    }
    logMessage(4, "[mgmt] 모델 삭제 완료: %s", modelId.c_str());
    return ModelRemovalResult{};
}
