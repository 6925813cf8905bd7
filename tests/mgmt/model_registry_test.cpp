// The model registry helpers: entry lookup, the two settings pickers, and the
// start-up repair of downloads that a restart interrupted.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/captured_log.h"
#include "config/server_config.h"
#include "mgmt/json_files.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/model_registry.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

TEST(ModelRegistry, FindModelEntryTakesTheFirstMatch) {
    const json registry = json::parse(R"({"models":[
        5, {"modelId": 7}, {"name": "no id"}, {"modelId": "a", "name": "first"}, {"modelId": "a", "name": "second"}]})");
    ASSERT_NE(findModelEntry(registry, "a"), nullptr);
    EXPECT_EQ((*findModelEntry(registry, "a"))["name"], "first");
    EXPECT_EQ((*findModelEntry(registry, ""))["name"], "no id") << "an empty id matches an entry without one";
    EXPECT_EQ(findModelEntry(registry, "7"), nullptr);
    EXPECT_EQ(findModelEntry(json::parse(R"({"models":{}})"), "a"), nullptr);
    EXPECT_EQ(findModelEntry(json::array(), "a"), nullptr);
}

TEST(ModelRegistry, SettingPickers) {
    const json loadDefaults = {{"n_ctx", 8192}};
    EXPECT_EQ(pickSettingValue(json{{"n_ctx", nullptr}}, loadDefaults, "n_ctx", 32768), 8192);
    EXPECT_EQ(pickSettingValue(json{{"n_ctx", 1024}}, loadDefaults, "n_ctx", 32768), 1024);
    EXPECT_EQ(pickSettingValue(json::object(), json::object(), "n_ctx", 32768), 32768);
    EXPECT_EQ(pickSettingValue(json::array(), json("x"), "n_ctx", 1), 1) << "non-objects hold nothing";

    const json model = json::parse(R"({"genDefaults": {"temperature": 0.6, "seed": null}})");
    EXPECT_EQ(pickSettingValueNested(json::object(), model, "temperature", 0.8), 0.6);
    EXPECT_EQ(pickSettingValueNested(json{{"temperature", 0.1}}, model, "temperature", 0.8), 0.1);
    EXPECT_EQ(pickSettingValueNested(json{{"temperature", nullptr}}, model, "temperature", 0.8), 0.6);
    EXPECT_TRUE(pickSettingValueNested(json::object(), model, "seed", nullptr).is_null());
    EXPECT_EQ(pickSettingValueNested(json::object(), json{{"genDefaults", 5}}, "temperature", 0.8), 0.8);
    EXPECT_EQ(pickSettingValueNested(json::object(), json::array(), "temperature", 0.8), 0.8);
}

class DownloadRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        ServerConfig::resetToDefaults();
        ServerConfig::DIR_MODELS = home.file("models");
        fs::create_directories(ServerConfig::DIR_MODELS);
    }
    void TearDown() override { ServerConfig::resetToDefaults(); }

    TempDir home;
    ModelDownloadTable downloads;
};

TEST_F(DownloadRecovery, InterruptedDownloadsBecomeFailedJobsKeepingFiles) {
    fs::create_directories(home.file("models/m1"));
    writeTextFile(home.file("models/m1/w.gguf"), std::string(1234, 'x'));
    fs::create_directories(home.file("elsewhere"));
    const json registry = json::parse(R"({"models":[
        {"modelId":"m1","name":"One","filename":"w.gguf","downloading":true},
        {"modelId":"m2","name":"Two","filename":"gone.gguf","downloading":true,"storagePath":"nowhere"},
        {"modelId":"m3","name":"Three","filename":"x","downloading":false},
        {"modelId":"m4","name":"Four","downloading":"true"}]})");
    saveJsonFile(home.file("models/models.json"), registry);

    CapturedLog log;
    recoverInterruptedDownloads(ServerConfig::DIR_MODELS, downloads);

    const json after = loadJsonFile(home.file("models/models.json"));
    json expected = registry;
    expected["models"][0]["downloading"] = false;
    expected["models"][1]["downloading"] = false;
    EXPECT_EQ(after, expected) << "only the marks change";
    EXPECT_TRUE(fs::exists(home.file("models/m1/w.gguf")));

    std::lock_guard<std::mutex> lock(downloads.mutex);
    ASSERT_EQ(downloads.jobs.size(), 2u);
    const ModelDownloadJob& one = downloads.jobs.at("m1");
    EXPECT_EQ(one.name, "One");
    EXPECT_EQ(one.status, "failed");
    EXPECT_EQ(one.errorMessage, "Interrupted by brisvanesrv restart");
    EXPECT_EQ(one.bytesDownloaded, 1234);
    EXPECT_EQ(downloads.jobs.at("m2").bytesDownloaded, 0);
    EXPECT_TRUE(log.contains("[mgmt] 중단된 다운로드 파일 보존(이어받기용): " + home.file("models/m1") +
                             "/w.gguf (1234 bytes)"));
    EXPECT_TRUE(log.contains("[mgmt] 중단된 다운로드 복구: modelId=m2 name=Two"));
}

TEST_F(DownloadRecovery, UnreadableRegistryIsLoggedAndLeftAlone) {
    for (const char* text : {"{\"models\": [", "[1,2]", "{\"other\": 1}"}) {
        SCOPED_TRACE(text);
        writeTextFile(home.file("models/models.json"), text);
        CapturedLog log;
        recoverInterruptedDownloads(ServerConfig::DIR_MODELS, downloads);
        EXPECT_EQ(readTextFile(home.file("models/models.json")), text) << "never rewritten";
        EXPECT_TRUE(log.contains("[mgmt] recoverInterruptedDownloads: models.json 처리 실패: "));
        std::lock_guard<std::mutex> lock(downloads.mutex);
        EXPECT_TRUE(downloads.jobs.empty());
    }
}

TEST_F(DownloadRecovery, NothingInterruptedWritesNothing) {
    const std::string text = "// hand-written\n{\"models\": [{\"modelId\": \"a\"}]}";
    writeTextFile(home.file("models/models.json"), text);
    recoverInterruptedDownloads(ServerConfig::DIR_MODELS, downloads);
    EXPECT_EQ(readTextFile(home.file("models/models.json")), text);
}

// Folders a model delete may remove: strictly inside the models directory,
// by path components, after links and "..".
TEST_F(DownloadRecovery, InsideModelsDirTable) {
    fs::create_directories(home.file("models/a/b"));
    fs::create_directories(home.file("models-other"));
    fs::create_directory_symlink(home.file("models-other"), home.file("models/link"));
    const struct {
        std::string folder;
        bool inside;
    } cases[] = {
        {home.file("models/a"), true},
        {home.file("models/a/b"), true},
        {home.file("models/not-made-yet"), true},
        {home.file("models"), false},
        {home.file("models/"), false},
        {home.file("models/a/.."), false},
        {home.file("models/../models-other"), false},
        {home.file("models-other"), false},
        {home.file("models/link"), false},
        {home.path(), false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isInsideModelsDir(ServerConfig::DIR_MODELS, c.folder), c.inside) << c.folder;
}

// Folders a model delete shares with another registered model: the same
// folder (spelt any way, through a link too), one inside the other.
TEST_F(DownloadRecovery, OverlappingFoldersTable) {
    fs::create_directories(home.file("models/tiny/sub"));
    fs::create_directories(home.file("models/tinyx"));
    fs::create_directory_symlink(home.file("models/tiny"), home.file("models/alias"));
    const struct {
        std::string a;
        std::string b;
        bool overlap;
    } cases[] = {
        {home.file("models/tiny"), home.file("models/tiny"), true},
        {home.file("models/tiny"), home.file("models/tiny/"), true},
        {home.file("models/tiny"), home.file("models/./tiny/sub/.."), true},
        {home.file("models/tiny"), home.file("models/alias"), true},
        {home.file("models/tiny"), home.file("models/tiny/sub"), true},
        {home.file("models/tiny/sub"), home.file("models/tiny"), true},
        {home.file("models/tiny"), home.file("models/tinyx"), false},
        {home.file("models/tiny/sub"), home.file("models/tinyx"), false},
    };
    for (const auto& c : cases) EXPECT_EQ(foldersOverlap(c.a, c.b), c.overlap) << c.a << " " << c.b;

    const nlohmann::json registry = nlohmann::json::parse(R"({"models":[
        {"modelId":"tiny","storagePath":""},
        {"modelId":"evil","storagePath":")" + home.file("models/tiny") + R"("},
        {"modelId":"own","storagePath":")" + home.file("models/tinyx") + R"("}]})");
    EXPECT_TRUE(folderUsedByAnotherModel(ServerConfig::DIR_MODELS, registry, "evil", home.file("models/tiny")));
    EXPECT_TRUE(folderUsedByAnotherModel(ServerConfig::DIR_MODELS, registry, "tiny", home.file("models/tiny")));
    EXPECT_FALSE(folderUsedByAnotherModel(ServerConfig::DIR_MODELS, registry, "own", home.file("models/tinyx")));
}

}  // namespace
