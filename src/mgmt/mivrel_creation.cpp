#include "mgmt/mivrel_creation.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "base/field_limits.h"
#include "base/logger.h"
#include "base/stored_document.h"
#include "config/runtime_properties.h"
#include "config/server_config.h"
#include "engine/mivrel_config.h"
#include "engine/mivrel_manager.h"
#include "engine/mivrel_params.h"
#include "engine/placement.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/model_registry.h"

std::mutex mivrelJsonMutex;

namespace {

constexpr const char* kMediaKeys[] = {
    "offload_to_cpu", "flash_attn", "max_vram", "n_threads", "mmap", "placement", "weights", "width",
    "height", "steps", "cfg_scale", "sampler", "scheduler", "vae_tiling", "limits",
};

constexpr const char* kAudioKeys[] = {
    "release_policy", "flash_attn", "voice", "temperature", "seed", "speed", "loudness", "lang", "max_seconds", "limits",
};

struct SamplingDefault {
    const char* key;
    nlohmann::json fallback;
};

const std::string kIdRule = " must match [A-Za-z0-9._-]{1,128} and must not be \".\" or \"..\"";
const std::string kModelIdRule =
    "\"modelId\" must name a folder inside the models folder: no \"/\" or \"\\\", not \".\" or \"..\", not a drive "
    "or absolute path, at most 255 bytes";

bool holdsNonNull(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && !it->is_null();
}

// The request's value, or `fallback` when the key is missing or null.
nlohmann::json valueOr(const nlohmann::json& request, const char* key, const nlohmann::json& fallback) {
    return holdsNonNull(request, key) ? request[key] : fallback;
}

// A text member, empty when missing or not a text.
std::string textMember(const nlohmann::json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

CreateMivrelResult refuse(int status, const char* code, const std::string& message) {
    CreateMivrelResult result;
    result.httpStatus = status;
    result.errorCode = code;
    result.errorMessage = message;
    return result;
}

// The instance registry to extend. A missing file starts a new one; a file
// that exists but cannot be read, does not parse or has no list is reported
// and never replaced, so no registered instance is ever dropped from it.
bool loadInstanceRegistry(const std::string& mivrelDir, nlohmann::json& registry, std::string& error) {
    const std::string path = mivrelJsonPath(mivrelDir);
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    if (!exists) {
        registry = {{"mivrelList", nlohmann::json::array()}};
        return true;
    }
    try {
        registry = loadJsonFile(path);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    if (!registry.is_object()) {
        error = "the document is not a JSON object";
        return false;
    }
    if (!registry.contains("mivrelList")) registry["mivrelList"] = nlohmann::json::array();
    if (!registry["mivrelList"].is_array()) {
        error = "\"mivrelList\" is not an array";
        return false;
    }
    return true;
}

bool listed(const nlohmann::json& registry, const std::string& id) {
    for (const nlohmann::json& entry : registry["mivrelList"]) {
        if (entry.is_object() && textMember(entry, "mivrelId") == id) return true;
    }
    return false;
}

void addTextModelSettings(const nlohmann::json& request, const nlohmann::json& modelProperties,
                          nlohmann::json& properties) {
    const int nCtx = valueOr(request, "n_ctx", 4096).get<int>();
    const int clamped = clampContextSize(nCtx, modelProperties);
    if (clamped != nCtx) logMessage(2, "[mivrel] 생성: n_ctx %d → %d (모델 n_ctx_size 상한)", nCtx, clamped);

    int gpuDefault = 20;
    if (holdsNonNull(request, "placement")) {
        properties["placement"] = request["placement"];
        const std::string placement = effectivePlacement(request, modelProperties);
        if (placement == "cpu") {
            gpuDefault = 0;
        } else if (placement == "gpu" || parseGpuIndex(placement) >= 0) {
            gpuDefault = 999;
        }
    }
    properties["n_gpu_layers"] = valueOr(request, "n_gpu_layers", gpuDefault);
    properties["n_ctx"] = clamped;
    properties["n_batch"] = valueOr(request, "n_batch", 1024);
    properties["n_ubatch"] = valueOr(request, "n_ubatch", 512);
    properties["offload_kv"] = valueOr(request, "offload_kv", true);

    const SamplingDefault sampling[] = {
        {"n_predict", 8192}, {"temperature", 0.8}, {"top_k", 30},
        {"top_p", 0.95},     {"repeat_penalty", 1.1}, {"repeat_last_n", 64},
    };
    for (const SamplingDefault& s : sampling) {
        properties[s.key] = pickSettingValueNested(request, modelProperties, s.key, s.fallback);
    }
    for (const char* key : {"min_p", "seed", "think_budget"}) {
        nlohmann::json value = pickSettingValueNested(request, modelProperties, key, nullptr);
        if (!value.is_null()) properties[key] = std::move(value);
    }
    for (const char* key : {"flash_attn", "cache_type_k", "cache_type_v"}) {
        if (holdsNonNull(request, key)) properties[key] = request[key];
    }
    logMessage(4, "[mivrel] 생성: 샘플링 temperature=%s top_k=%s top_p=%s (요청 → 모델 genDefaults → 엔진 기본값)",
               properties["temperature"].dump().c_str(), properties["top_k"].dump().c_str(),
               properties["top_p"].dump().c_str());
}

void addAudioSettings(const nlohmann::json& request, const nlohmann::json& modelProperties,
                      nlohmann::json& properties) {
    nlohmann::json loadDefaults = nlohmann::json::object();
    if (modelProperties.is_object()) {
        const auto it = modelProperties.find("loadDefaults");
        if (it != modelProperties.end() && it->is_object()) loadDefaults = *it;
    }
    if (holdsNonNull(request, "placement")) properties["placement"] = request["placement"];
    const std::string placement = effectivePlacement(request, modelProperties);
    const int nCtx = pickSettingValue(request, loadDefaults, "n_ctx", 32768).get<int>();
    properties["n_ctx"] = clampContextSize(nCtx, modelProperties);
    properties["n_gpu_layers"] =
        placement == "cpu" ? nlohmann::json(0) : pickSettingValue(request, loadDefaults, "n_gpu_layers", 999);
    for (const char* key : kAudioKeys) {
        if (holdsNonNull(request, key)) properties[key] = request[key];
    }
}

}  // namespace

std::string mivrelJsonPath(const std::string& mivrelDir) {
    return (std::filesystem::path(mivrelDir) / "mivrel.json").string();
}


std::string generateMivrelId() {
    thread_local std::mt19937_64 generator(static_cast<std::mt19937_64::result_type>(std::random_device{}()));
    const uint64_t value = generator() & 0xFFFFFFFFFFFFULL;
    char text[32];
    std::snprintf(text, sizeof text, "mivrel-%012" PRIx64, value);
    return text;
}

CreateMivrelResult createMivrel(const DataFolders& folders, MivrelManager* mivrels,
                                const nlohmann::json& request) {
    const std::string id = request.value("mivrelId", std::string());
    const std::string name = request.value("name", std::string());
    const std::string modelId = request.value("modelId", std::string());
    if (id.empty() || name.empty() || modelId.empty()) {
        return refuse(400, "bad_request", "mivrelId / name / modelId 는 필수 항목입니다.");
    }
    // Both ids become folder names. The instance id is ours to make up; the
    // model id comes from models.json and only has to stay inside the models
    // folder.
    if (!isValidRegistryId(id)) return refuse(400, "bad_request", "\"mivrelId\"" + kIdRule);
    if (!isModelFolderId(modelId)) return refuse(400, "bad_request", kModelIdRule);
    // Name and description are stored and served in every listing.
    if (name.size() > kMaxNameLength) return refuse(400, "bad_request", fieldTooLongMessage("name", kMaxNameLength));
    const std::string description = request.value("description", std::string());
    if (description.size() > kMaxDescriptionLength)
        return refuse(400, "bad_request", fieldTooLongMessage("description", kMaxDescriptionLength));

    std::lock_guard<std::mutex> lock(mivrelJsonMutex);
    nlohmann::json registry;
    std::string registryError;
    if (!loadInstanceRegistry(folders.mivrel, registry, registryError)) {
        return refuse(500, "internal_error", "mivrel.json 읽기 실패: " + registryError);
    }
    if (listed(registry, id)) return refuse(409, "mivrel_already_exists", "이미 존재하는 mivrelId: " + id);

    std::string assembler = "default";
    std::string familyType = "LLM";
    std::string modelPath;
    std::string modelDir;
    nlohmann::json modelProperties = nlohmann::json::object();

    nlohmann::json models;
    try {
        models = loadJsonFile(modelsJsonPath(folders.models));
    } catch (const std::exception& e) {
        return refuse(500, "internal_error", e.what());
    }
    const nlohmann::json* entry = findModelEntry(models, modelId);
    // The model id is joined to the models folder only when it keeps the id
    // rule; any other id names no usable model.
    if (!entry || !isValidRegistryId(modelId)) {
        return refuse(404, "model_not_found", "등록되지 않은 modelId: " + modelId);
    }
    const std::string folder = modelFolderOf(folders.models, *entry);
    if (textMember(*entry, "downloadedAt").empty()) {
        return refuse(409, "model_not_downloaded", "모델이 다운로드되지 않았습니다: " + modelId);
    }
    modelPath = folder + "/" + textMember(*entry, "filename");
    try {
        if (folder.empty()) throw std::runtime_error("the model has no folder");
        nlohmann::json props = loadJsonFile((std::filesystem::path(folder) / "properties.json").string());
        assembler = props.value("assembler", std::string("default"));
        familyType = props.value("familyType", std::string("LLM"));
        modelDir = folder;
        modelProperties = std::move(props);
    } catch (const std::exception&) {
        logMessage(2, "[mivrel] model properties.json 읽기 실패: %s → assembler=default, familyType=LLM",
                   modelId.c_str());
        assembler = "default";
        familyType = "LLM";
        modelDir.clear();
        modelProperties = nlohmann::json::object();
    }

    std::string message;
    if (!validatePlacementSettings(request, familyType, message)) return refuse(400, "bad_request", message);

    nlohmann::json properties = {
        {"mivrelId", id}, {"name", name}, {"description", description}, {"type", "local"}, {"modelId", modelId},
    };
    if (familyType == "IMAGE" || familyType == "VIDEO") {
        for (const char* key : kMediaKeys) {
            if (request.contains(key)) properties[key] = request[key];
        }
    } else {
        if (!validateMivrelParams(request, message)) return refuse(400, "bad_request", message);
        if (familyType == "AUDIO") {
            addAudioSettings(request, modelProperties, properties);
        } else {
            addTextModelSettings(request, modelProperties, properties);
        }
    }

    if (request.contains("multimodal") && !request["multimodal"].is_boolean()) {
        return refuse(400, "bad_request", "\"multimodal\" must be a boolean");
    }
    properties["multimodal"] = request.contains("multimodal") ? request["multimodal"] : nlohmann::json(true);
    for (const char* key : {"enable_storage_encryption", "truncate_storage_on_unload"}) {
        if (!request.contains(key)) continue;
        if (!request[key].is_boolean()) {
            return refuse(400, "bad_request", "\"" + std::string(key) + "\" must be a boolean");
        }
        properties[key] = request[key];
    }

    // The same limits as every later change of the settings.
    const std::string tooLarge = storedDocumentRefusal(properties, kMaxInstanceSettingsBytes, "properties.json");
    if (!tooLarge.empty()) return refuse(400, "bad_request", tooLarge);

    // The configuration is made before anything is written: a setting it
    // cannot use fails here, with the disk untouched.
    MivrelConfig config;
    config.id = id;
    config.name = name;
    config.description = description;
    config.type = "local";
    config.modelPath = modelPath;
    config.familyType = familyType;
    config.loadSettings.assembler = assembler;
    config.loadSettings.modelPath = modelPath;
    config.loadSettings.modelDir = modelDir;
    config.loadSettings.modelProperties = modelProperties;
    config.loadSettings.params = properties;
    mivrelParams(properties, modelProperties, config.loadSettings, config.contextSettings);

    const std::filesystem::path instanceFolder = std::filesystem::path(folders.mivrel) / id;
    const std::string propertiesPath = (instanceFolder / "properties.json").string();
    std::error_code probe;
    const bool folderExisted = std::filesystem::exists(instanceFolder, probe) || probe;
    // A failed creation (a full disk, say) takes back the folder it made, so
    // no half-made instance is left behind.
    const auto undo = [&] {
        if (folderExisted) return;
        std::error_code ignored;
        std::filesystem::remove_all(instanceFolder, ignored);
    };
    try {
        saveJsonFile(propertiesPath, properties);
    } catch (const std::exception& e) {
        undo();
        return refuse(500, "internal_error", std::string("properties.json 생성 실패: ") + e.what());
    }
    registry["mivrelList"].push_back({{"mivrelId", id}, {"createdAt", utcNowIso()}});
    try {
        saveJsonFile(mivrelJsonPath(folders.mivrel), registry);
    } catch (const std::exception& e) {
        undo();
        return refuse(500, "internal_error", std::string("mivrel.json 쓰기 실패: ") + e.what());
    }
    // An id registered already (false) is not reported: the files are written.
    if (mivrels) mivrels->addMivrel(std::move(config));

    logMessage(4, "[mivrel] 생성: %s (familyType=%s, assembler=%s)", id.c_str(), familyType.c_str(),
               assembler.c_str());
    CreateMivrelResult result;
    result.ok = true;
    result.mivrelId = id;
    result.name = name;
    result.description = description;
    result.properties = std::move(properties);
    return result;
}
