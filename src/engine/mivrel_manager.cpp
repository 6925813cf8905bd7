#include "engine/mivrel_manager.h"

#include <filesystem>
#include <mutex>


namespace {

// True only when `params` holds `key` with the boolean true.
bool jsonTrue(const nlohmann::json& params, const char* key) {
    if (!params.is_object()) return false;
    auto it = params.find(key);
    return it != params.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

std::shared_ptr<Mivrel> MivrelManager::find(const std::string& id) const {
    std::shared_lock<std::shared_mutex> lock(lock_);
    auto it = instances_.find(id);
    return it == instances_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Mivrel>> MivrelManager::snapshotMivrels() const {
    std::shared_lock<std::shared_mutex> lock(lock_);
    std::vector<std::shared_ptr<Mivrel>> all;
    all.reserve(instances_.size());
    for (const auto& entry : instances_) all.push_back(entry.second);
    return all;
}

std::shared_ptr<Mivrel> MivrelManager::makeMivrel(MivrelConfig&& config) const {
    auto mivrel = std::make_shared<Mivrel>();
    const nlohmann::json& params = config.loadSettings.params;
    const bool encrypted = jsonTrue(params, "enable_storage_encryption");
    const std::string path = (std::filesystem::path(dir_) / config.id / "storage.kvx").string();
    mivrel->fileStore.configure(path, encrypted);
    mivrel->fileStore.exchangeTruncateOnUnload(jsonTrue(params, "truncate_storage_on_unload"));
    mivrel->config = std::move(config);
    mivrel->engineMaker = engineMaker_;
    return mivrel;
}

bool MivrelManager::addMivrel(MivrelConfig&& config) {
    std::unique_lock<std::shared_mutex> lock(lock_);
    if (instances_.count(config.id) != 0) return false;
    const std::string id = config.id;
    instances_[id] = makeMivrel(std::move(config));
    return true;
}

bool MivrelManager::replaceMivrel(MivrelClaim& claim, MivrelConfig&& config) {
    if (!claim || claim.kind() != ClaimKind::kLoad) return false;
    const std::shared_ptr<Mivrel> old = claim.mivrel();
    {
        std::unique_lock<std::shared_mutex> lock(lock_);
        auto it = instances_.find(old->config.id);
        if (it == instances_.end() || it->second != old || config.id != old->config.id) return false;
        old->retired.store(true);
        it->second = makeMivrel(std::move(config));
    }
    // The old record keeps the loading state for good: nobody claims it again.
    claim.held_ = false;
    claim.mivrel_.reset();
    old->destroyEngine();
    return true;
}

ClaimResult MivrelManager::removeMivrel(const std::string& id) {
    std::shared_ptr<Mivrel> removed;
    {
        std::unique_lock<std::shared_mutex> lock(lock_);
        auto it = instances_.find(id);
        if (it == instances_.end()) return ClaimResult::kNotFound;
        int expected = kMivrelIdle;
        // Held in the loading state for good: no request can claim it again.
        if (!it->second->state.compare_exchange_strong(expected, kMivrelLoading)) return claimRefusal(expected);
        it->second->retired.store(true);
        removed = std::move(it->second);
        instances_.erase(it);
    }
    // The model's memory is given back now, not when the last request that
    // still holds the record lets go of it.
    removed->destroyEngine();
    return ClaimResult::kOk;
}

int MivrelManager::truncateStorageOnUnload() {
    int count = 0;
    for (const std::shared_ptr<Mivrel>& mivrel : snapshotMivrels()) {
        if (mivrel->fileStore.truncateOnUnload() && mivrel->fileStore.truncate()) ++count;
    }
    return count;
}
