#include "mgmt/mivrel_lifecycle.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "engine/format_string.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_creation.h"

namespace {

constexpr int kRetryPollMs = 20;

}  // namespace

UnloadOutcome unloadWaiting(const std::shared_ptr<Mivrel>& mivrel, bool keepStore, int waitMs) {
    const int64_t deadline = steadyNowMs() + waitMs;
    for (;;) {
        ClaimResult result = ClaimResult::kOk;
        bool unloaded = false;
        {
            std::lock_guard<std::mutex> lock(mivrel->mutex);
            MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
            if (claim) {
                unloaded = mivrel->hasEngine();
                if (unloaded) {
                    claim.releaseWithUnload(keepStore);
                } else {
                    if (!keepStore) mivrel->truncateStorageIfEnabled();
                    claim.release();
                }
            }
        }
        if (result == ClaimResult::kOk) return unloaded ? UnloadOutcome::kUnloaded : UnloadOutcome::kNotLoaded;
        if (result == ClaimResult::kRemoved) return UnloadOutcome::kRemoved;

        const int64_t left = deadline - steadyNowMs();
        if (left <= 0) return UnloadOutcome::kTimedOut;
        if (result == ClaimResult::kBusy) {
            if (!mivrel->stopGenerationAndWait(static_cast<int>(left))) return UnloadOutcome::kTimedOut;
        } else {
            // Being loaded or unloaded by someone else: look again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPollMs));
        }
    }
}

std::string mivrelFolder(const std::string& mivrelDir, const std::string& id) {
    return (std::filesystem::path(mivrelDir) / id).string();
}

bool isUsableMivrelId(const std::string& id, bool registered) {
    if (isValidRegistryId(id)) return true;
    return isContainedRegistryId(id) && registered;
}

bool isUsableMivrelId(const MivrelManager* mivrels, const std::string& id) {
    return isUsableMivrelId(id, mivrels && mivrels->find(id) != nullptr);
}

namespace {

// removeMivrelRecord's work. REQUIRES: mivrelJsonMutex held.
bool removeMivrelRecordLocked(const DataFolders& folders, const std::string& id, std::string& error) {
    try {
        nlohmann::json registry = loadJsonFile(mivrelJsonPath(folders.mivrel));
        const auto list = registry.is_object() ? registry.find("mivrelList") : registry.end();
        if (list == registry.end() || !list->is_array()) throw std::runtime_error("\"mivrelList\" is not an array");
        nlohmann::json kept = nlohmann::json::array();
        bool removed = false;
        for (const nlohmann::json& entry : *list) {
            const auto entryId = entry.is_object() ? entry.find("mivrelId") : entry.end();
            if (entryId != entry.end() && entryId->is_string() && entryId->get<std::string>() == id) {
                removed = true;
                continue;
            }
            kept.push_back(entry);
        }
        if (removed) {
            *list = std::move(kept);
            saveJsonFile(mivrelJsonPath(folders.mivrel), registry);
        }
    } catch (const std::exception& e) {
        logMessage(2, "[mgmt] mivrel.json 업데이트 실패: %s", e.what());
    }
    std::error_code ec;
    const std::filesystem::path folder = mivrelFolder(folders.mivrel, id);
    const std::filesystem::file_status status = std::filesystem::symlink_status(folder, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        error = "디렉토리 삭제 실패: " + ec.message();
        return false;
    }
    if (std::filesystem::exists(status)) {
        std::filesystem::remove_all(folder, ec);
        if (ec) {
            error = "디렉토리 삭제 실패: " + ec.message();
            return false;
        }
    }
    return true;
}

}  // namespace

bool removeMivrelRecord(const DataFolders& folders, const std::string& id, std::string& error) {
    std::lock_guard<std::mutex> lock(mivrelJsonMutex);
    return removeMivrelRecordLocked(folders, id, error);
}

DeleteOutcome deleteMivrel(const DataFolders& folders, MivrelManager* mivrels, const std::string& id,
                          std::string& error) {
    // Lock order: mivrelJsonMutex, then the manager's lock (as in creation).
    std::lock_guard<std::mutex> lock(mivrelJsonMutex);
    if (mivrels) {
        const ClaimResult removed = mivrels->removeMivrel(id);
        if (removed == ClaimResult::kBusy || removed == ClaimResult::kLoading) return DeleteOutcome::kOccupied;
    }
    return removeMivrelRecordLocked(folders, id, error) ? DeleteOutcome::kDeleted : DeleteOutcome::kFailed;
}

bool forceDeleteMivrel(const DataFolders& folders, MivrelManager* mivrels, const std::string& id,
                       std::string& error) {
    const int64_t deadline = steadyNowMs() + kGenerationStopWaitMs;
    bool announced = false;
    for (;;) {
        // Looked up on every pass: a reload may have put a new record under
        // the id meanwhile, and that one goes too.
        const std::shared_ptr<Mivrel> mivrel = mivrels ? mivrels->find(id) : nullptr;
        if (mivrel) {
            if (!announced && mivrel->isInferring()) {
                logMessage(4, "[mgmt] forceDeleteMivrel: Mivrel[%s] 추론 강제 중단 (종료 대기)", id.c_str());
                announced = true;
            }
            const int64_t left = deadline - steadyNowMs();
            const UnloadOutcome unloaded =
                left > 0 ? unloadWaiting(mivrel, false, static_cast<int>(left)) : UnloadOutcome::kTimedOut;
            if (unloaded == UnloadOutcome::kTimedOut) {
                error = "추론 종료 대기 시간 초과 — 삭제 취소: " + id;
                logMessage(1, "[mgmt] forceDeleteMivrel: %s", error.c_str());
                return false;
            }
        }
        switch (deleteMivrel(folders, mivrels, id, error)) {
            case DeleteOutcome::kDeleted: return true;
            case DeleteOutcome::kFailed: return false;
            // A request claimed the instance between the unload and the
            // removal: stop that one too within the same bound.
            case DeleteOutcome::kOccupied: break;
        }
    }
}
