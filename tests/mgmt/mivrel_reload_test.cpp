// The configuration a reload rebuilds: it starts from the instance's current
// one, so a model that cannot be found or read leaves the model it had, and
// a model id that breaks the id rule is never joined to a folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/data_folders.h"
#include "mgmt/json_files.h"
#include "mgmt/mivrel_reload.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class MivrelReload : public ::testing::Test {
protected:
    void SetUp() override {
        folders.mivrel = home.file("mivrel");
        folders.models = home.file("models");
        fs::create_directories(home.file("mivrel/r"));
        writeModel("m2", "");
        writeModel("m3", R"({"assembler": "gemma4", "familyType": "DECISION", "think": {"begin": "<x>"}})");
        // A folder beside the models folder that "../decoy" would reach.
        fs::create_directories(home.file("decoy"));
        writeTextFile(home.file("decoy/properties.json"), R"({"assembler": "decoy", "familyType": "IMAGE"})");
        writeRegistry(R"({"models": [
            {"modelId": "m2", "name": "Two", "filename": "two.gguf"},
            {"modelId": "m3", "name": "Three", "filename": "three.gguf"},
            {"modelId": "../decoy", "name": "Decoy", "filename": "d.gguf"}]})");

        // What the instance runs with now: model m1 with its own settings.
        current.id = "r";
        current.name = "Old name";
        current.type = "local";
        current.modelPath = home.file("models/m1") + "/one.gguf";
        current.modelName = "One";
        current.familyType = "LLM";
        ModelLoadSettings& load = current.loadSettings;
        load.modelPath = current.modelPath;
        load.modelDir = home.file("models/m1");
        load.assembler = "qwen3";
        load.modelProperties = {{"assembler", "qwen3"}, {"loadDefaults", {{"placement", "cpu"}}}};
        load.thinkOpen = "<t>";
        load.thinkClose = "</t>";
        load.toolCallOpen = "<c>";
        load.toolCallClose = "</c>";
    }

    void writeModel(const std::string& id, const std::string& properties) {
        fs::create_directories(home.file("models/" + id));
        if (!properties.empty()) writeTextFile(home.file("models/" + id + "/properties.json"), properties);
    }
    void writeRegistry(const std::string& text) { writeTextFile(home.file("models/models.json"), text); }
    void writeInstance(const std::string& properties) { writeTextFile(home.file("mivrel/r/properties.json"), properties); }

    TempDir home;
    DataFolders folders;
    MivrelConfig current;
};

TEST_F(MivrelReload, ModelsThatCannotBeUsedKeepTheCurrentOne) {
    struct Case {
        const char* name;
        const char* registry;  // nullptr: the fixture's
        const char* modelId;   // nullptr: no "modelId" member
    };
    const Case cases[] = {
        {"unreadable models.json", "{\"models\": [", "m3"},
        {"models.json of another shape", "[1, 2]", "m3"},
        {"no entry for the id", nullptr, "ghost"},
        {"empty modelId", nullptr, ""},
        {"no modelId", nullptr, nullptr},
        {"id that breaks the id rule", nullptr, "../decoy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.registry) writeRegistry(c.registry);
        json props = {{"name", "New name"}, {"n_ctx", 1024}};
        if (c.modelId) props["modelId"] = c.modelId;
        writeInstance(props.dump());

        const MivrelConfig config = reloadedMivrelConfig(folders, current);
        EXPECT_EQ(config.id, "r");
        EXPECT_EQ(config.name, "New name") << "the instance's own settings are read again";
        EXPECT_EQ(config.contextSettings.nCtx, 1024);
        EXPECT_EQ(config.loadSettings.params, props);
        EXPECT_EQ(config.modelPath, current.modelPath);
        EXPECT_EQ(config.loadSettings.modelPath, current.modelPath);
        EXPECT_EQ(config.modelName, "One");
        EXPECT_EQ(config.familyType, "LLM");
        EXPECT_EQ(config.loadSettings.assembler, "qwen3");
        EXPECT_EQ(config.loadSettings.modelDir, home.file("models/m1"));
        EXPECT_EQ(config.loadSettings.modelProperties, current.loadSettings.modelProperties);
        EXPECT_EQ(config.loadSettings.placement, "cpu") << "derived from the kept model properties";
    }
}

TEST_F(MivrelReload, AnotherModelIsTakenAsFarAsItsFilesRead) {
    // Its properties.json cannot be read: path and name move, the rest stays.
    writeInstance(R"({"modelId": "m2"})");
    MivrelConfig config = reloadedMivrelConfig(folders, current);
    EXPECT_EQ(config.modelPath, home.file("models/m2") + "/two.gguf");
    EXPECT_EQ(config.loadSettings.modelPath, config.modelPath);
    EXPECT_EQ(config.modelName, "Two");
    EXPECT_EQ(config.loadSettings.assembler, "qwen3");
    EXPECT_EQ(config.familyType, "LLM");
    EXPECT_EQ(config.loadSettings.modelDir, home.file("models/m1"));
    EXPECT_EQ(config.type, "local") << "the default";
    EXPECT_EQ(config.name, "");

    // A readable one: all of it, the tags excepted, which stay.
    writeInstance(R"({"modelId": "m3", "type": "custom"})");
    config = reloadedMivrelConfig(folders, current);
    EXPECT_EQ(config.modelPath, home.file("models/m3") + "/three.gguf");
    EXPECT_EQ(config.loadSettings.assembler, "gemma4");
    EXPECT_EQ(config.familyType, "DECISION");
    EXPECT_EQ(config.loadSettings.modelDir, home.file("models/m3"));
    EXPECT_EQ(config.loadSettings.modelProperties["assembler"], "gemma4");
    EXPECT_EQ(config.loadSettings.placement, "auto") << "m1's load default went with m1";
    EXPECT_EQ(config.type, "custom");
    EXPECT_EQ(config.loadSettings.thinkOpen, "<t>");
    EXPECT_EQ(config.loadSettings.thinkClose, "</t>");
    EXPECT_EQ(config.loadSettings.toolCallOpen, "<c>");
    EXPECT_EQ(config.loadSettings.toolCallClose, "</c>");
}

TEST_F(MivrelReload, UnreadableInstanceSettingsThrow) {
    EXPECT_ANY_THROW(reloadedMivrelConfig(folders, current)) << "no properties.json";
    writeInstance(R"({"n_ctx": "big"})");
    EXPECT_ANY_THROW(reloadedMivrelConfig(folders, current));
}

}  // namespace
