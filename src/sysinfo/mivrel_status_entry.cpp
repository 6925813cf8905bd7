#include "sysinfo/mivrel_status_entry.h"

#include <cmath>
#include <filesystem>

#include "engine/mivrel.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/model_registry.h"

namespace {

std::string textMember(const nlohmann::json& object, const char* key) {
    const auto it = object.is_object() ? object.find(key) : object.end();
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The name of the model in models.json; "" when absent or unreadable.
std::string modelNameOf(const std::string& modelsDir, const std::string& modelId) {
    if (modelId.empty()) return "";
    try {
        const nlohmann::json registry = loadJsonFile(modelsJsonPath(modelsDir));
        const nlohmann::json* entry = findModelEntry(registry, modelId);
        return entry ? textMember(*entry, "name") : std::string();
    } catch (const std::exception&) {
        return "";
    }
}

}  // namespace

nlohmann::json mivrelStatusEntry(const DataFolders& folders, const std::string& id,
                                 const std::shared_ptr<Mivrel>& mivrel, int64_t nowMs) {
    nlohmann::json entry = nlohmann::json::object();
    entry["mivrelId"] = id;
    bool copied = false;
    if (isUsableMivrelId(id, mivrel != nullptr)) {
        try {
            const nlohmann::json properties = loadJsonFile(mivrelFolder(folders.mivrel, id) + "/properties.json");
            if (properties.is_object()) {
                for (auto it = properties.begin(); it != properties.end(); ++it) entry[it.key()] = it.value();
                copied = true;
            }
        } catch (const std::exception&) {
        }
    }
    if (!copied) entry["name"] = id;

    const std::string modelId = copied ? textMember(entry, "modelId") : std::string();
    entry["modelName"] = modelNameOf(folders.models, modelId);
    entry["totalLayers"] = 0;
    entry["familyType"] = "LLM";
    if (!modelId.empty() && isValidRegistryId(modelId)) {
        try {
            const nlohmann::json model =
                loadJsonFile((std::filesystem::path(folders.models) / modelId / "properties.json").string());
            const auto layers = model.is_object() ? model.find("n_layer") : model.end();
            if (layers != model.end() && layers->is_number_integer()) entry["totalLayers"] = *layers;
            const auto family = model.is_object() ? model.find("familyType") : model.end();
            if (family != model.end()) entry["familyType"] = *family;
        } catch (const std::exception&) {
        }
    }

    entry["status"] = "not_loaded";
    entry["contextUsed"] = 0;
    entry["contextSize"] = 0;
    entry["conversationId"] = nullptr;
    entry["generationIndex"] = 0;
    entry["isLoaded"] = false;
    entry["lifetimeOutputTokens"] = 0;
    entry["lastTokensPerSec"] = nullptr;
    entry["releaseIdleMinutes"] = nullptr;
    entry["releaseInSec"] = nullptr;
    if (mivrel) addLiveFields(entry, *mivrel, nowMs);
    return entry;
}

void addLiveFields(nlohmann::json& entry, const Mivrel& mivrel, int64_t nowMs) {
    const bool loaded = mivrel.hasEngine();
    const int state = mivrel.state.load();
    entry["isLoaded"] = loaded;
    entry["lifetimeOutputTokens"] = mivrel.lifetimeOutputTokens.load();

    const ReleasePolicy policy = mivrel.releasePolicy();
    if (policy.kind == "idle") {
        entry["releaseIdleMinutes"] = policy.idleMinutes;
        const int64_t lastActive = mivrel.lastActiveAt.load();
        if (loaded && !mivrel.isInferring() && state == kMivrelIdle && lastActive > 0) {
            const int64_t remainMs = static_cast<int64_t>(policy.idleMinutes) * 60000 + lastActive - nowMs;
            entry["releaseInSec"] = remainMs > 0 ? remainMs / 1000 : 0;
        }
    }

    // The engine belongs to whoever holds the claim: show what the last
    // claim recorded instead of asking it.
    const MivrelStatusView view = mivrel.statusView();
    if (view.lastTokensPerSec > 0) entry["lastTokensPerSec"] = std::round(view.lastTokensPerSec * 10.0) / 10.0;
    if (loaded) {
        entry["status"] = state == kMivrelRunning ? "running" : state == kMivrelStopping ? "stopping" : "idle";
        if (!view.conversationId.empty()) entry["conversationId"] = view.conversationId;
        entry["generationIndex"] = view.generationIndex;
        if (view.engineValues) {
            entry["contextUsed"] = view.context.usedCells;
            entry["contextSize"] = view.context.nCtx;
        }
        if (view.modelValues) {
            entry["totalLayers"] = view.modelLayers;
            entry["gpuLayersActual"] = view.gpuLayersActual;
            entry["gpuLayersRequested"] = view.gpuLayersRequested;
        }
    } else {
        // The management paths change the state of an unloaded instance under
        // its mutex; a removal claim (state 0 on a retired record) is no load.
        std::lock_guard<std::mutex> lock(const_cast<Mivrel&>(mivrel).mutex);
        entry["status"] = mivrel.state.load() == kMivrelLoading && !mivrel.retired.load() ? "loading" : "idle";
    }
}
