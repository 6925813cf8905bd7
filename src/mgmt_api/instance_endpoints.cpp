#include "mgmt_api/instance_endpoints.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "base/logger.h"
#include "base/stored_document.h"
#include "engine/mivrel_manager.h"
#include "engine/mivrel_params.h"
#include "engine/placement.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_creation.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

std::string propertiesPath(const ServiceContext& services, const std::string& id) {
    return mivrelFolder(services.folders.mivrel, id) + "/properties.json";
}

bool folderExists(const ServiceContext& services, const std::string& id) {
    std::error_code ec;
    return std::filesystem::is_directory(mivrelFolder(services.folders.mivrel, id), ec);
}

std::string textMember(const nlohmann::json& entry, const char* key) {
    const auto it = entry.is_object() ? entry.find(key) : entry.end();
    return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

nlohmann::json listEntry(const ServiceContext& services, const nlohmann::json& listed) {
    const std::string id = textMember(listed, "mivrelId");
    nlohmann::json entry = nlohmann::json::object();
    entry["mivrelId"] = id;
    entry["createdAt"] = textMember(listed, "createdAt");
    nlohmann::json properties;
    try {
        if (!isUsableMivrelId(services.mivrels.get(), id)) throw std::runtime_error("unusable id");
        properties = loadJsonFile(propertiesPath(services, id));
    } catch (const std::exception&) {
        properties = {{"mivrelId", id}, {"name", id}};
    }
    entry["properties"] = std::move(properties);
    entry["status"] = "not_loaded";
    entry["loaded"] = false;
    entry["contextUsed"] = 0;
    entry["contextSize"] = 0;
    entry["conversationId"] = nullptr;
    entry["generationIndex"] = 0;
    entry["startedAt"] = nullptr;
    entry["lastActiveAt"] = nullptr;

    const std::shared_ptr<Mivrel> mivrel = services.findMivrel(id);
    if (!mivrel) return entry;
    if (mivrel->hasEngine()) {
        const int state = mivrel->state.load();
        entry["loaded"] = true;
        entry["status"] = state == kMivrelRunning ? "running" : state == kMivrelStopping ? "stopping" : "idle";
        // The engine belongs to whoever holds the claim: show what the last
        // claim recorded instead of asking it.
        const MivrelStatusView view = mivrel->statusView();
        if (!view.conversationId.empty()) entry["conversationId"] = view.conversationId;
        entry["generationIndex"] = view.generationIndex;
        if (view.engineValues) {
            entry["contextUsed"] = view.context.usedCells;
            entry["contextSize"] = view.context.nCtx;
        }
        const int64_t loadedAt = mivrel->loadedAt.load();
        const int64_t lastActiveAt = mivrel->lastActiveAt.load();
        if (loadedAt > 0) entry["startedAt"] = loadedAt;
        if (lastActiveAt > 0) entry["lastActiveAt"] = lastActiveAt;
    } else {
        std::lock_guard<std::mutex> lock(mivrel->mutex);
        entry["status"] = mivrel->state.load() == kMivrelLoading && !mivrel->retired.load() ? "loading" : "idle";
    }
    return entry;
}

// The settings the engines read, by the type they read them as: a stored
// value of another type would fail the instance's next load, so a patch is
// refused instead. Any other member is stored as it comes (a page may keep
// its own notes there), within the field limits of every stored document.
bool isNumberSetting(const std::string& key) {
    static const std::set<std::string> numbers = {
        "cfg_scale", "fps",  "frames", "height", "image_max_tokens", "loudness", "max_seconds", "min_p",
        "n_predict", "n_threads", "repeat_last_n", "repeat_penalty", "speed", "steps", "temperature",
        "think_budget", "top_k", "top_p", "width"};
    return numbers.count(key) != 0;
}

bool isBooleanSetting(const std::string& key) {
    static const std::set<std::string> booleans = {"mmap", "multimodal", "offload_to_cpu", "temporal_tiling",
                                                   "vae_tiling"};
    return booleans.count(key) != 0;
}

bool isTextSetting(const std::string& key) {
    static const std::set<std::string> texts = {"lang", "release_policy", "sampler", "scheduler", "voice"};
    return texts.count(key) != 0;
}

// An empty text when `patch` may be applied; else the refusal's message.
std::string checkPatch(const nlohmann::json& patch, const nlohmann::json& current, const std::string& id,
                       const std::string& familyType) {
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        const std::string& key = it.key();
        const nlohmann::json& value = it.value();
        if (key == "name" || key == "description" || key == "type" || key == "modelId") {
            if (!value.is_null() && !value.is_string()) return "\"" + key + "\" must be a string";
            if (key == "modelId" && value.is_string() && !isModelFolderId(value.get<std::string>())) {
                return "\"modelId\" is not a valid model id";
            }
        } else if (key == "mivrelId") {
            if (!value.is_string() || value.get<std::string>() != id) return "\"mivrelId\" cannot be changed";
        } else if (key == "enable_storage_encryption") {
            if (!value.is_null() && !value.is_boolean()) return "\"enable_storage_encryption\" must be a boolean";
            if (value.is_boolean() && value.get<bool>()) {
                if (!jsonFlag(current, key)) return "enable_storage_encryption cannot be changed after the mivrel is created";
            } else if (jsonFlag(current, key)) {
                return "enable_storage_encryption cannot be changed after the mivrel is created";
            }
        } else if (key == "truncate_storage_on_unload") {
            if (!value.is_null() && !value.is_boolean()) return "\"truncate_storage_on_unload\" must be a boolean";
        } else if (value.is_null()) {
            // null deletes the member
        } else if (isNumberSetting(key)) {
            if (!value.is_number()) return "\"" + key + "\" must be a number";
        } else if (isBooleanSetting(key)) {
            if (!value.is_boolean()) return "\"" + key + "\" must be a boolean";
        } else if (isTextSetting(key)) {
            if (!value.is_string()) return "\"" + key + "\" must be a string";
        } else if (key == "limits") {
            if (!value.is_object()) return "\"limits\" must be an object";
        }
    }
    std::string message;
    if (!validatePlacementSettings(patch, familyType, message)) return message;
    if (!validateMivrelParams(patch, message)) return message;
    return "";
}

}  // namespace

void handleMivrelList(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response) {
    nlohmann::json registry;
    try {
        registry = loadJsonFile(mivrelJsonPath(services.folders.mivrel));
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", e.what());
    }
    nlohmann::json list = nlohmann::json::array();
    const auto listed = registry.is_object() ? registry.find("mivrelList") : registry.end();
    if (listed != registry.end() && listed->is_array()) {
        for (const nlohmann::json& item : *listed) list.push_back(listEntry(services, item));
    }
    sendJson(handler, response, nlohmann::json{{"mivrelList", std::move(list)}});
}

void handleMivrelCreate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response) {
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    if (!body.is_object()) return sendError(handler, response, 400, "bad_request", "request body must be a JSON object");
    CreateMivrelResult result;
    try {
        result = createMivrel(services.folders, services.mivrels.get(), body);
    } catch (const nlohmann::json::type_error& e) {
        // A field of the wrong type; nothing was written.
        return sendError(handler, response, 400, "bad_request", e.what());
    }
    if (!result.ok) return sendError(handler, response, result.httpStatus, result.errorCode, result.errorMessage);
    logMessage(4, "[mgmt] Mivrel 생성: %s", result.mivrelId.c_str());
    nlohmann::json reply = nlohmann::json::object();
    reply["mivrelId"] = result.mivrelId;
    reply["status"] = "created";
    reply["properties"] = result.properties;
    sendJson(handler, response, reply);
}

void handleGetMivrelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                               Response& response, const std::string& id) {
    if (!isUsableMivrelId(services.mivrels.get(), id)) return sendUnknownMivrel(handler, response, id);
    try {
        nlohmann::json properties = loadJsonFile(propertiesPath(services, id));
        sendJson(handler, response, nlohmann::json{{"mivrelId", id}, {"properties", std::move(properties)}});
    } catch (const std::exception& e) {
        if (!folderExists(services, id)) return sendUnknownMivrel(handler, response, id);
        sendError(handler, response, 500, "internal_error", std::string("failed to read properties.json: ") + e.what());
    }
}

namespace {

struct PatchRefusal {
    int status = 0;  // 0: applied
    std::string code;
    std::string message;
};

// Checks `patch`, merges it into the stored settings and writes them.
// REQUIRES: mivrelJsonMutex held, so a delete or creation of the instance
// meanwhile neither sees its folder made again by the write nor finds a
// stranger's settings in it.
PatchRefusal applyPropertiesPatch(const ServiceContext& services, const std::string& id, const nlohmann::json& patch) {
    if (!isUsableMivrelId(services.mivrels.get(), id) || !folderExists(services, id))
        return {404, "mivrel_not_found", "unknown mivrelId: " + id};
    if (!patch.is_object()) {
        // A merge patch that is not an object would replace the whole file.
        return {400, "bad_request", "request body must be a JSON object"};
    }

    const std::string path = propertiesPath(services, id);
    nlohmann::json current = nlohmann::json::object();
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        try {
            current = loadJsonFile(path);
        } catch (const std::exception& e) {
            // Never replace settings that could not be read.
            return {500, "internal_error", std::string("failed to read properties.json: ") + e.what()};
        }
        if (!current.is_object()) {
            return {500, "internal_error", "failed to read properties.json: the document is not an object"};
        }
    }

    const std::shared_ptr<Mivrel> mivrel = services.findMivrel(id);
    const std::string familyType = mivrel ? mivrel->config.familyType : "LLM";
    const std::string refusal = checkPatch(patch, current, id, familyType);
    if (!refusal.empty()) return {400, "bad_request", refusal};

    current.merge_patch(patch);
    // The merged document, not only the patch: many small patches must not
    // add up to a document no creation could have made.
    const std::string tooLarge = storedDocumentRefusal(current, kMaxInstanceSettingsBytes, "properties.json");
    if (!tooLarge.empty()) return {400, "bad_request", tooLarge};
    try {
        saveJsonFile(path, current);
    } catch (const std::exception& e) {
        return {500, "internal_error", std::string("failed to write properties.json: ") + e.what()};
    }
    if (mivrel) mivrel->fileStore.exchangeTruncateOnUnload(jsonFlag(current, "truncate_storage_on_unload"));
    return {};
}

}  // namespace

void handlePatchMivrelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                 Response& response, const std::string& id) {
    nlohmann::json patch;
    if (!parseJsonBodyOrReply(handler, request, response, patch)) return;
    PatchRefusal refusal;
    {
        std::lock_guard<std::mutex> registryLock(mivrelJsonMutex);
        refusal = applyPropertiesPatch(services, id, patch);
    }
    if (refusal.status != 0) return sendError(handler, response, refusal.status, refusal.code, refusal.message);
    logMessage(4, "[mgmt] Mivrel properties 수정: %s", id.c_str());
    nlohmann::json reply = nlohmann::json::object();
    reply["mivrelId"] = id;
    reply["status"] = "updated";
    reply["reloadRequired"] = true;
    sendJson(handler, response, reply);
}
