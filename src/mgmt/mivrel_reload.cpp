#include "mgmt/mivrel_reload.h"

#include <filesystem>
#include <utility>

#include "engine/mivrel_params.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/model_registry.h"

namespace fs = std::filesystem;

namespace {

// The model-dependent part of a configuration.
struct ModelChoice {
    std::string modelPath;
    std::string modelName;
    std::string modelDir;
    std::string assembler;
    std::string familyType;
    nlohmann::json modelProperties;
};

// `choice` moved to the model `modelId` as far as its files can be read.
void chooseModel(const DataFolders& folders, const std::string& modelId, ModelChoice& choice) {
    if (modelId.empty()) return;
    RegisteredModel model;
    try {
        const nlohmann::json registry = loadJsonFile(modelsJsonPath(folders.models));
        if (!findRegisteredModel(folders.models, registry, modelId, model)) return;
    } catch (const std::exception&) {
        return;
    }
    choice.modelPath = model.path;
    choice.modelName = model.name;
    try {
        nlohmann::json props = loadJsonFile((fs::path(model.folder) / "properties.json").string());
        // Read whole before anything changes: a bad member keeps all four.
        std::string assembler = props.value("assembler", std::string("default"));
        std::string familyType = props.value("familyType", std::string("LLM"));
        choice.assembler = std::move(assembler);
        choice.familyType = std::move(familyType);
        choice.modelDir = model.folder;
        choice.modelProperties = std::move(props);
    } catch (const std::exception&) {
        // The model's own settings keep their current values.
    }
}

}  // namespace

MivrelConfig reloadedMivrelConfig(const DataFolders& folders, const MivrelConfig& current) {
    const nlohmann::json props =
        loadJsonFile((fs::path(mivrelFolder(folders.mivrel, current.id)) / "properties.json").string());
    const ModelLoadSettings& was = current.loadSettings;
    ModelChoice choice{current.modelPath, current.modelName, was.modelDir,
                       was.assembler,     current.familyType, was.modelProperties};
    chooseModel(folders, props.value("modelId", std::string()), choice);

    MivrelConfig config;
    config.id = current.id;
    config.name = props.value("name", std::string());
    config.description = props.value("description", std::string());
    config.type = props.value("type", std::string("local"));
    config.modelPath = choice.modelPath;
    config.modelName = choice.modelName;
    config.familyType = choice.familyType;
    ModelLoadSettings& load = config.loadSettings;
    load.modelPath = choice.modelPath;
    load.modelDir = choice.modelDir;
    load.modelProperties = std::move(choice.modelProperties);
    load.params = props;
    mivrelParams(props, load.modelProperties, load, config.contextSettings);
    load.assembler = choice.assembler;
    load.thinkOpen = was.thinkOpen;
    load.thinkClose = was.thinkClose;
    load.toolCallOpen = was.toolCallOpen;
    load.toolCallClose = was.toolCallClose;
    return config;
}
