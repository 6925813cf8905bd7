#include "mgmt/startup_registries.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "base/logger.h"
#include "config/app_init_exception.h"
#include "config/server_config.h"
#include "engine/mivrel_manager.h"
#include "engine/mivrel_params.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_creation.h"
#include "mgmt/model_registry.h"

namespace fs = std::filesystem;

namespace {

const std::string kRule(100, '-');

std::string propertiesPathOf(const std::string& mivrelDir, const std::string& id) {
    return (fs::path(mivrelDir) / id / "properties.json").string();
}

void logEntryFailure(const std::string& mivrelDir, const std::string& id, const std::string& why) {
    logMessage(2, "[initApp] Fail to setup mivrel:%s", id.c_str());
    logMessage(2, "[initApp] Error loading %s (%s)", propertiesPathOf(mivrelDir, id).c_str(), why.c_str());
}

// The model's folder, its properties.json, assembler, familyType and tags.
// Whatever was set before a failure stays; the tags keep their defaults when
// "think" or "tool_call" is not usable.
void applyModelProperties(const std::string& id, const std::string& folder, MivrelConfig& config) {
    ModelLoadSettings& load = config.loadSettings;
    try {
        const nlohmann::json props = loadJsonFile((fs::path(folder) / "properties.json").string());
        load.assembler = props.value("assembler", std::string("default"));
        config.familyType = props.value("familyType", std::string("LLM"));
        load.modelDir = folder;
        load.modelProperties = props;
        if (props.contains("think")) {
            const nlohmann::json& think = props["think"];
            load.thinkOpen = think.value("begin", std::string("<think>"));
            load.thinkClose = think.value("end", std::string("</think>"));
        }
        if (props.contains("tool_call")) {
            const nlohmann::json& toolCall = props["tool_call"];
            load.toolCallOpen = toolCall.value("begin", std::string("<tool_call>"));
            load.toolCallClose = toolCall.value("end", std::string("</tool_call>"));
        }
        logMessage(9, "[initApp] [%s] familyType: %s, assembler: %s", id.c_str(), config.familyType.c_str(),
                   load.assembler.c_str());
    } catch (...) {
        logMessage(2, "[initApp] [%s] model properties.json 없음, assembler=default 사용", id.c_str());
    }
}

}  // namespace

void ensureDataDirectories(const DataFolders& folders) {
    const std::pair<const char*, const std::string*> dirs[] = {
        {"DIR_MIVREL", &folders.mivrel},
        {"DIR_MODELS", &folders.models},
        {"DIR_LOGS", &folders.logs},
    };
    for (const auto& [key, value] : dirs) {
        if (fs::exists(*value)) {
            logMessage(9, "[initApp] 디렉토리 확인: %s", value->c_str());
            continue;
        }
        std::error_code ec;
        fs::create_directories(*value, ec);
        if (ec) {
            throw AppInitException(
                1104, std::string(key) + " directory creation failed: " + *value + " (" + ec.message() + ")");
        }
        logMessage(6, "[initApp] 디렉토리 생성: %s", value->c_str());
    }
}

void ensureEmptyRegistry(const std::string& path, const std::string& key) {
    if (fs::exists(path)) return;
    try {
        saveJsonFile(path, nlohmann::json{{key, nlohmann::json::array()}});
    } catch (const std::exception&) {
        // Reported by the read that follows.
    }
}

void loadModelRegistry(const std::string& modelsDir) {
    const std::string path = modelsJsonPath(modelsDir);
    logMessage(9, "[initApp] 모델 레지스트리 로드: %s", path.c_str());
    if (!fs::exists(path)) {
        logMessage(4, "[initApp] models.json 없음 → 빈 파일 생성: %s", path.c_str());
        ensureEmptyRegistry(path, "models");
    }
    try {
        const nlohmann::json registry = loadJsonFile(path);
        const nlohmann::json& models = registry.at("models");
        logMessage(9, "[initApp] 등록된 모델 수: %zu", models.size());
        logMessage(9, "[initApp] %-38s %-24s %-8s %-10s %s", "modelId", "name", "format", "status", "filename");
        logMessage(9, "[initApp] %s", kRule.c_str());
        for (const nlohmann::json& model : models) {
            const std::string status = model.value("downloading", false) ? "downloading" : "ready";
            logMessage(9, "[initApp] %-38s %-24s %-8s %-10s %s", model.value("modelId", std::string("-")).c_str(),
                       model.value("name", std::string("-")).c_str(), model.value("format", std::string("-")).c_str(),
                       status.c_str(), model.value("filename", std::string("-")).c_str());
        }
    } catch (const std::exception& e) {
        logMessage(2, "[initApp] Error loading %s (%s)", path.c_str(), e.what());
    }
}

MivrelConfig buildRegisteredConfig(const DataFolders& folders, const std::string& id) {
    const nlohmann::json props = loadJsonFile(propertiesPathOf(folders.mivrel, id));
    MivrelConfig config;
    config.id = id;
    config.name = props.value("name", std::string());
    config.description = props.value("description", std::string());
    config.type = props.value("type", std::string("local"));
    const std::string modelId = props.value("modelId", std::string());

    try {
        const nlohmann::json models = loadJsonFile(modelsJsonPath(folders.models));
        RegisteredModel model;
        if (findRegisteredModel(folders.models, models, modelId, model)) {
            config.modelPath = model.path;
            config.modelName = model.name;
            applyModelProperties(id, model.folder, config);
        }
    } catch (const std::exception& e) {
        logMessage(2, "[initApp] [%s] models.json 참조 실패: %s", id.c_str(), e.what());
    }

    ModelLoadSettings& load = config.loadSettings;
    load.modelPath = config.modelPath;
    load.params = props;
    mivrelParams(props, load.modelProperties, load, config.contextSettings);
    return config;
}

int registerListedMivrels(const DataFolders& folders, MivrelManager& manager) {
    const std::string path = mivrelJsonPath(folders.mivrel);
    logMessage(9, "[initApp] Mivrel 레지스트리 로드: %s", path.c_str());
    if (!fs::exists(path)) {
        logMessage(4, "[initApp] mivrel.json 없음 → 빈 파일 생성: %s", path.c_str());
        ensureEmptyRegistry(path, "mivrelList");
    }
    int added = 0;
    try {
        const nlohmann::json registry = loadJsonFile(path);
        const nlohmann::json& list = registry.at("mivrelList");
        if (!list.is_array()) throw std::runtime_error("\"mivrelList\" is not an array");
        logMessage(9, "[initApp] 등록된 Mivrel 수: %zu", list.size());
        logMessage(9, "[initApp] %-14s %-10s %-38s %s", "mivrelId", "type", "modelId", "name");
        logMessage(9, "[initApp] %s", kRule.c_str());
        for (const nlohmann::json& entry : list) {
            const std::string id = entry.value("mivrelId", std::string());
            if (id.empty()) {
                logMessage(9, "[initApp] mivrelId 없는 항목 skip");
                continue;
            }
            // The id names the instance's folder: one that would lead out of
            // DIR_MIVREL is never followed.
            if (!isContainedRegistryId(id)) {
                logEntryFailure(folders.mivrel, id, "mivrelId is not a folder name");
                continue;
            }
            try {
                MivrelConfig config = buildRegisteredConfig(folders, id);
                const nlohmann::json& params = config.loadSettings.params;
                logMessage(9, "[initApp] %-14s %-10s %-38s %s", id.c_str(), config.type.c_str(),
                           params.value("modelId", std::string()).c_str(), config.name.c_str());
                const bool ok = manager.addMivrel(std::move(config));
                if (ok) ++added;
                logMessage(9, "[initApp] Mivrel 등록: %s (%s)", id.c_str(), ok ? "성공" : "이미 존재");
            } catch (const std::exception& e) {
                logEntryFailure(folders.mivrel, id, e.what());
            }
        }
    } catch (const std::exception& e) {
        logMessage(2, "[initApp] Error loading %s (%s)", path.c_str(), e.what());
    }
    return added;
}
