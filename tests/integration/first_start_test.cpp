// What the real brisvanesrv builds at start-up in its home: data folders,
// the empty registries byte for byte, the start and media-library events,
// the registration of listed instances with the broken-registry cases, and
// the emptying of marked stores at start and at the normal exit.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::vector<json> eventLines(const std::string& path) {
    std::vector<json> events;
    std::istringstream in(readTextFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) events.push_back(json::parse(line));
    }
    return events;
}

// Starts, waits until it listens, and ends it the normal way (start-up has
// settled by then: the exit waits for it).
void runOnce(const std::string& home, uint16_t port, const std::vector<std::string>& args = {}) {
    ServerProcess server;
    ASSERT_TRUE(server.start(args, home));
    ASSERT_TRUE(server.waitListening(port)) << server.stderrText();
    EXPECT_EQ(server.stop(), 0) << server.stderrText();
}

TEST(FirstStart, EmptyHomeGetsFoldersRegistriesAndEvents) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    runOnce(home.path(), port);

    for (const char* dir : {"mivrel", "models", "logs"}) EXPECT_TRUE(fs::is_directory(home.file(dir))) << dir;
    EXPECT_EQ(readTextFile(home.file("models/models.json")), "{\n  \"models\": []\n}");
    EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), "{\n  \"mivrelList\": []\n}");

    const std::vector<json> events = eventLines(home.file("logs/events.jsonl"));
    ASSERT_EQ(events.size(), 2u) << readTextFile(home.file("logs/events.jsonl"));
    EXPECT_EQ(events[0]["text"], "Server started");
    EXPECT_EQ(events[0]["level"], "info");
    EXPECT_EQ(events[0]["category"], "system");
    EXPECT_EQ(events[0]["actor"], "server");
    EXPECT_EQ(events[0]["detail"], "bind=127.0.0.1:" + std::to_string(port));
    // The stand-in media library lies beside the built server.
    EXPECT_EQ(events[1]["text"], "Media engine loaded");
    EXPECT_EQ(events[1]["level"], "info");
    EXPECT_EQ(events[1]["actor"], "server");
    const std::string library = fs::path(brisvanesrvPath()).parent_path().string() + "/libstable-diffusion.so";
    EXPECT_EQ(events[1]["detail"], library);


    // A second start keeps the registries and appends to the event log.
    runOnce(home.path(), port);
    EXPECT_EQ(readTextFile(home.file("mivrel/mivrel.json")), "{\n  \"mivrelList\": []\n}");
    EXPECT_EQ(eventLines(home.file("logs/events.jsonl")).size(), 4u);
}

TEST(FirstStart, EventLogFollowsDirLogs) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port, "DIR_LOGS=data/events\nDIR_MIVREL=inst\n"));
    runOnce(home.path(), port);
    EXPECT_EQ(eventLines(home.file("data/events/events.jsonl")).size(), 2u);
    EXPECT_TRUE(fs::exists(home.file("logs/brisvane.log"))) << "the main log stays in logs";
    EXPECT_FALSE(fs::exists(home.file("logs/events.jsonl")));
    EXPECT_EQ(readTextFile(home.file("inst/mivrel.json")), "{\n  \"mivrelList\": []\n}");
}

TEST(FirstStart, DataFolderThatCannotBeMadeIs1104) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port, "DIR_MODELS=blocker/models\n"));
    writeTextFile(home.file("blocker"), "a file, not a folder");
    const ServerRun run = runServerToExit({}, home.path());
    EXPECT_EQ(run.exitCode, 1104 & 0xFF);
    EXPECT_NE(run.err.find("Application startup error: (ret=1104) DIR_MODELS directory creation failed: "
                           "blocker/models ("),
              std::string::npos)
        << run.err;
}

TEST(FirstStart, ListedInstancesAndBrokenEntries) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    fs::create_directories(home.file("models/m1"));
    fs::create_directories(home.file("models/m2"));
    writeTextFile(home.file("models/models.json"), R"({"models": [
        {"modelId": "m1", "name": "One", "filename": "one.gguf", "downloading": true},
        {"modelId": "m2", "filename": "two.gguf"}]})");
    writeTextFile(home.file("models/m1/one.gguf"), "partial");
    writeTextFile(home.file("models/m1/properties.json"), R"({"assembler": "qwen3", "think": 1})");
    auto instance = [&](const std::string& id, const std::string& properties) {
        fs::create_directories(home.file("mivrel/" + id));
        writeTextFile(home.file("mivrel/" + id + "/properties.json"), properties);
    };
    instance("good", R"({"name": "Good", "modelId": "m1", "truncate_storage_on_unload": true})");
    writeTextFile(home.file("mivrel/good/storage.kvx"), "old store");
    instance("ghost", R"({"name": "Ghost", "modelId": "nope"})");
    instance("bare", R"({"name": "Bare", "modelId": "m2"})");
    writeTextFile(home.file("mivrel/mivrel.json"), R"({"mivrelList": [
        {"mivrelId": "good"}, {"mivrelId": "missing"}, {"mivrelId": "ghost"}, {"mivrelId": "bare"},
        {"mivrelId": "good"}, 7, {"mivrelId": "late"}]})");
    instance("late", R"({"name": "Late", "modelId": "m2"})");

    runOnce(home.path(), port, {"--developer"});
    const std::string log = readTextFile(home.file("logs/brisvane.log"));
    const std::string lines[] = {
        "[initApp] m1                                     One                      -        downloading one.gguf\n",
        "[initApp] [good] model properties.json 없음, assembler=default 사용\n",
        "[initApp] Mivrel 등록: good (성공)\n",
        "[initApp] Fail to setup mivrel:missing\n[initApp] Error loading mivrel/missing/properties.json "
        "(Unable to open file: mivrel/missing/properties.json)\n",
        "[initApp] Mivrel 등록: ghost (성공)\n",
        "[initApp] [bare] model properties.json 없음, assembler=default 사용\n",
        "[initApp] Mivrel 등록: bare (성공)\n",
        "[initApp] Mivrel 등록: good (이미 존재)\n",
        "[initApp] Error loading mivrel/mivrel.json (",
        "[initApp] 저장소 비우기 (truncate_storage_on_unload): 1개 Mivrel\n",
        "[mgmt] 중단된 다운로드 복구: modelId=m1 name=One\n",
    };
    for (const std::string& line : lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n---\n" << log;
    EXPECT_EQ(log.find("Mivrel 등록: late"), std::string::npos) << "a non-object entry ends the list";
    EXPECT_FALSE(fs::exists(home.file("mivrel/good/storage.kvx"))) << "emptied at start";
    EXPECT_EQ(json::parse(readTextFile(home.file("models/models.json")))["models"][0]["downloading"], false);
    EXPECT_EQ(readTextFile(home.file("models/m1/one.gguf")), "partial") << "partial downloads are kept";
}

}  // namespace

namespace {

TEST(FirstStart, MarkedStoresAreEmptiedAtTheNormalExit) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    fs::create_directories(home.file("mivrel/temp"));
    fs::create_directories(home.file("mivrel/kept"));
    writeTextFile(home.file("mivrel/temp/properties.json"), R"({"name": "T", "truncate_storage_on_unload": true})");
    writeTextFile(home.file("mivrel/kept/properties.json"), R"({"name": "K", "truncate_storage_on_unload": "yes"})");
    writeTextFile(home.file("mivrel/mivrel.json"), R"({"mivrelList": [{"mivrelId": "temp"}, {"mivrelId": "kept"}]})");

    ServerProcess server;
    ASSERT_TRUE(server.start({"--verbose"}, home.path()));
    ASSERT_TRUE(server.waitListening(port)) << server.stderrText();
    // Written while the server runs, after the emptying at start.
    writeTextFile(home.file("mivrel/temp/storage.kvx"), "data");
    writeTextFile(home.file("mivrel/kept/storage.kvx"), "data");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(fs::exists(home.file("mivrel/temp/storage.kvx")));
    EXPECT_TRUE(fs::exists(home.file("mivrel/kept/storage.kvx"))) << "only the boolean true marks a store";
    EXPECT_NE(readTextFile(home.file("logs/brisvane.log"))
                  .find("[shutdown] 저장소 비우기 (truncate_storage_on_unload): 1개 Mivrel\n"),
              std::string::npos);
}

}  // namespace
