// The start-up steps over real files: data folders, the empty registries
// (byte for byte), the model table, and the registration of listed instances
// with every broken-registry case of the start-up guards.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "base/captured_log.h"
#include "config/app_init_exception.h"
#include "config/data_folders.h"
#include "config/server_config.h"
#include "engine/mivrel_manager.h"
#include "mgmt/json_files.h"
#include "mgmt/startup_registries.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class StartupRegistries : public ::testing::Test {
protected:
    void SetUp() override {
        ServerConfig::resetToDefaults();
        ServerConfig::DIR_MIVREL = home.file("mivrel");
        ServerConfig::DIR_MODELS = home.file("models");
        ServerConfig::DIR_LOGS = home.file("logs");
        manager.setDir(ServerConfig::DIR_MIVREL);
    }
    void TearDown() override { ServerConfig::resetToDefaults(); }

    void writeInstance(const std::string& id, const std::string& properties) {
        fs::create_directories(home.file("mivrel/" + id));
        writeTextFile(home.file("mivrel/" + id + "/properties.json"), properties);
    }
    void writeModel(const std::string& id, const std::string& properties) {
        fs::create_directories(home.file("models/" + id));
        if (!properties.empty()) writeTextFile(home.file("models/" + id + "/properties.json"), properties);
    }
    std::set<std::string> registeredIds() const {
        std::set<std::string> ids;
        for (const auto& mivrel : manager.snapshotMivrels()) ids.insert(mivrel->config.id);
        return ids;
    }

    TempDir home;
    MivrelManager manager;
};

TEST_F(StartupRegistries, FirstStartMakesFoldersAndEmptyRegistries) {
    ServerConfig::DIR_LOGS = home.file("deep/er/logs");
    CapturedLog log;
    ensureDataDirectories(configuredDataFolders());
    for (const char* dir : {"mivrel", "models", "deep/er/logs"}) EXPECT_TRUE(fs::is_directory(home.file(dir)));
    EXPECT_TRUE(log.contains("[initApp] 디렉토리 생성: " + home.file("mivrel") + "\n"));

    loadModelRegistry(ServerConfig::DIR_MODELS);
    EXPECT_EQ(readTextFile(home.file("models/models.json")), "{\n  \"models\": []\n}");
    EXPECT_EQ(registerListedMivrels(configuredDataFolders(), manager), 0);
    EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), "{\n  \"mivrelList\": []\n}");
    EXPECT_TRUE(log.contains("[initApp] models.json 없음 → 빈 파일 생성: " + home.file("models") + "/models.json"));
    EXPECT_TRUE(log.contains("[initApp] mivrel.json 없음 → 빈 파일 생성: " + home.file("mivrel") + "/mivrel.json"));

    CapturedLog again;
    ensureDataDirectories(configuredDataFolders());
    EXPECT_TRUE(again.contains("[initApp] 디렉토리 확인: " + home.file("models") + "\n"));
}

TEST_F(StartupRegistries, DirectoryThatCannotBeMadeIs1104) {
    writeTextFile(home.file("file"), "");
    ServerConfig::DIR_MODELS = home.file("file/models");
    try {
        ensureDataDirectories(configuredDataFolders());
        FAIL() << "no exception";
    } catch (const AppInitException& e) {
        EXPECT_EQ(e.code(), 1104);
        EXPECT_EQ(std::string(e.what()).rfind("DIR_MODELS directory creation failed: " + home.file("file/models") +
                                                  " (",
                                              0),
                  0u)
            << e.what();
    }
    EXPECT_TRUE(fs::is_directory(home.file("mivrel"))) << "the folders before it were made";
}

TEST_F(StartupRegistries, ModelTableAndUnreadableRegistry) {
    fs::create_directories(home.file("models"));
    writeTextFile(home.file("models/models.json"),
                  R"({"models":[{"modelId":"m1","name":"One","format":"gguf","filename":"a.gguf","downloading":true},
                                {"modelId":"m2"}]})");
    CapturedLog log;
    loadModelRegistry(ServerConfig::DIR_MODELS);
    EXPECT_TRUE(log.contains("[initApp] 등록된 모델 수: 2\n"));
    EXPECT_TRUE(log.contains("[initApp] modelId                                name                     format   "
                             "status     filename\n"));
    EXPECT_TRUE(log.contains("[initApp] " + std::string(100, '-') + "\n"));
    EXPECT_TRUE(log.contains("[initApp] m1" + std::string(37, ' ') + "One" + std::string(22, ' ') +
                             "gguf     downloading a.gguf\n"));
    EXPECT_TRUE(log.contains("[initApp] m2" + std::string(37, ' ') + "-" + std::string(24, ' ') +
                             "-        ready      -\n"));

    const std::string broken = "{\"models\": [";
    writeTextFile(home.file("models/models.json"), broken);
    CapturedLog bad;
    loadModelRegistry(ServerConfig::DIR_MODELS);
    EXPECT_TRUE(bad.contains("[initApp] Error loading " + home.file("models") + "/models.json ("));
    EXPECT_EQ(readTextFile(home.file("models/models.json")), broken) << "never replaced";
}

TEST_F(StartupRegistries, BrokenRegistryCases) {
    fs::create_directories(home.file("models"));
    writeTextFile(home.file("models/models.json"), R"({"models": [
        {"modelId": "m1", "name": "Model One", "filename": "one.gguf"},
        {"modelId": "m2", "filename": "two.gguf"},
        {"modelId": "m3", "filename": "three.gguf"},
        {"modelId": "m4", "filename": "four.gguf", "storagePath": ")" + home.file("away") + R"("}]})");
    writeModel("m1", R"({"assembler": "qwen3", "familyType": "LLM", "think": {"begin": "<t>", "end": "</t>"},
                         "tool_call": {"begin": "<c>"}, "loadDefaults": {"placement": "cpu"}})");
    writeModel("m2", "");
    writeModel("m3", R"({"assembler": "gemma4", "familyType": "DECISION", "think": "yes"})");
    fs::create_directories(home.file("away"));
    writeTextFile(home.file("away/properties.json"), R"({"familyType": "AUDIO"})");

    writeInstance("good", R"({"name": "Good", "description": "d", "modelId": "m1", "n_ctx": 8192,
                              "truncate_storage_on_unload": true})");
    writeInstance("unknown", R"({"name": "U", "modelId": "ghost", "type": "custom"})");
    writeInstance("noprops", R"({"name": "N", "modelId": "m2"})");
    writeInstance("badthink", R"({"name": "B", "modelId": "m3"})");
    writeInstance("away", R"({"modelId": "m4"})");
    writeInstance("badparams", R"({"name": "P", "modelId": "m1", "n_ctx": "big"})");
    writeInstance("after", R"({"name": "After", "modelId": "m1"})");
    fs::create_directories(home.file("mivrel"));
    fs::create_directories(home.file("outside"));
    writeTextFile(home.file("outside/properties.json"), R"({"name": "Escaped"})");
    writeTextFile(home.file("mivrel/mivrel.json"), R"({"mivrelList": [
        {"mivrelId": "good"}, {"createdAt": "x"}, {"mivrelId": "missing"}, {"mivrelId": "unknown"},
        {"mivrelId": "noprops"}, {"mivrelId": "badthink"}, {"mivrelId": "good"}, {"mivrelId": "away"},
        {"mivrelId": "badparams"}, {"mivrelId": "../outside"},
        "not an object", {"mivrelId": "after"}]})");

    CapturedLog log;
    EXPECT_EQ(registerListedMivrels(configuredDataFolders(), manager), 5);
    const std::string text = log.text();
    EXPECT_EQ(registeredIds(), (std::set<std::string>{"good", "unknown", "noprops", "badthink", "away"})) << text;

    // A full entry: names, model, tags, parameters and store.
    const auto good = manager.find("good");
    EXPECT_EQ(good->config.name, "Good");
    EXPECT_EQ(good->config.description, "d");
    EXPECT_EQ(good->config.type, "local");
    EXPECT_EQ(good->config.modelName, "Model One");
    EXPECT_EQ(good->config.modelPath, home.file("models/m1") + "/one.gguf");
    EXPECT_EQ(good->config.loadSettings.modelPath, good->config.modelPath);
    EXPECT_EQ(good->config.loadSettings.modelDir, home.file("models/m1"));
    EXPECT_EQ(good->config.loadSettings.assembler, "qwen3");
    EXPECT_EQ(good->config.loadSettings.thinkOpen, "<t>");
    EXPECT_EQ(good->config.loadSettings.thinkClose, "</t>");
    EXPECT_EQ(good->config.loadSettings.toolCallOpen, "<c>");
    EXPECT_EQ(good->config.loadSettings.toolCallClose, "</tool_call>");
    EXPECT_EQ(good->config.loadSettings.params["n_ctx"], 8192);
    EXPECT_EQ(good->config.contextSettings.nCtx, 8192);
    EXPECT_EQ(good->config.loadSettings.placement, "cpu") << "the model's load default";
    EXPECT_EQ(good->config.loadSettings.nGpuLayers, 0);
    EXPECT_TRUE(good->fileStore.truncateOnUnload());
    EXPECT_TRUE(text.find("[initApp] [good] familyType: LLM, assembler: qwen3\n") != std::string::npos);
    EXPECT_TRUE(text.find("[initApp] good           local      m1                                     Good\n") !=
                std::string::npos)
        << text;
    EXPECT_TRUE(text.find("[initApp] Mivrel 등록: good (성공)\n") != std::string::npos);

    EXPECT_TRUE(text.find("[initApp] mivrelId 없는 항목 skip\n") != std::string::npos);

    // Missing instance properties: skipped, the next entries still registered.
    EXPECT_TRUE(text.find("[initApp] Fail to setup mivrel:missing\n[initApp] Error loading " + home.file("mivrel") +
                          "/missing/properties.json (Unable to open file: ") != std::string::npos);

    // Unknown model id: registered with the defaults.
    const auto unknown = manager.find("unknown");
    EXPECT_EQ(unknown->config.type, "custom");
    EXPECT_EQ(unknown->config.modelPath, "");
    EXPECT_EQ(unknown->config.familyType, "LLM");
    EXPECT_EQ(unknown->config.loadSettings.assembler, "default");

    // A model folder without properties.json.
    const auto noprops = manager.find("noprops");
    EXPECT_EQ(noprops->config.modelPath, home.file("models/m2") + "/two.gguf");
    EXPECT_EQ(noprops->config.familyType, "LLM");
    EXPECT_EQ(noprops->config.loadSettings.modelDir, "");
    EXPECT_TRUE(text.find("[initApp] [noprops] model properties.json 없음, assembler=default 사용\n") !=
                std::string::npos);

    // A "think" that is no object: what came before it stays, tags default.
    const auto badthink = manager.find("badthink");
    EXPECT_EQ(badthink->config.familyType, "DECISION");
    EXPECT_EQ(badthink->config.loadSettings.assembler, "gemma4");
    EXPECT_EQ(badthink->config.loadSettings.modelDir, home.file("models/m3"));
    EXPECT_EQ(badthink->config.loadSettings.thinkOpen, "<think>");
    EXPECT_TRUE(text.find("[initApp] [badthink] model properties.json 없음, assembler=default 사용\n") !=
                std::string::npos);
    EXPECT_EQ(text.find("[initApp] [badthink] familyType:"), std::string::npos);

    // A duplicate id.
    EXPECT_TRUE(text.find("[initApp] Mivrel 등록: good (이미 존재)\n") != std::string::npos);
    EXPECT_EQ(manager.find("good")->config.name, "Good");

    // A model folder from the entry's storagePath.
    EXPECT_EQ(manager.find("away")->config.modelPath, home.file("away") + "/four.gguf");
    EXPECT_EQ(manager.find("away")->config.familyType, "AUDIO");

    // Settings that cannot be used.
    EXPECT_TRUE(text.find("[initApp] Fail to setup mivrel:badparams\n[initApp] Error loading " +
                          home.file("mivrel") + "/badparams/properties.json (") != std::string::npos);

    // An id that would leave the folder is never followed.
    EXPECT_TRUE(text.find("[initApp] Fail to setup mivrel:../outside\n") != std::string::npos);

    // A non-object entry ends the list: "after" is not registered.
    EXPECT_TRUE(text.find("[initApp] Error loading " + home.file("mivrel") + "/mivrel.json (") != std::string::npos);
}

TEST_F(StartupRegistries, UnreadableInstanceRegistryIsLoggedAndKept) {
    fs::create_directories(home.file("mivrel"));
    for (const char* broken : {"{\"mivrelList\": [", "{\"other\": []}", "{\"mivrelList\": {\"a\": 1}}"}) {
        SCOPED_TRACE(broken);
        writeTextFile(home.file("mivrel/mivrel.json"), broken);
        CapturedLog log;
        EXPECT_EQ(registerListedMivrels(configuredDataFolders(), manager), 0);
        EXPECT_TRUE(log.contains("[initApp] Error loading " + home.file("mivrel") + "/mivrel.json ("));
        EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), broken);
    }
}

TEST_F(StartupRegistries, ModelLookupFailureKeepsTheInstance) {
    fs::create_directories(home.file("models"));
    writeTextFile(home.file("models/models.json"), "not json");
    writeInstance("lone", R"({"name": "Lone", "modelId": "m1"})");
    writeTextFile(home.file("mivrel/mivrel.json"), R"({"mivrelList": [{"mivrelId": "lone"}]})");
    CapturedLog log;
    EXPECT_EQ(registerListedMivrels(configuredDataFolders(), manager), 1);
    EXPECT_TRUE(log.contains("[initApp] [lone] models.json 참조 실패: "));
    EXPECT_EQ(manager.find("lone")->config.modelPath, "");
}

}  // namespace
