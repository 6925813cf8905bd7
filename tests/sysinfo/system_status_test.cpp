// The instance entries of the system status over a temporary home (settings
// files, the model registry and live instances with a stand-in engine), and
// the processor sampler over a fixture /proc/stat.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/text_util.h"
#include "config/data_folders.h"
#include "config/reported_address.h"
#include "config/server_config.h"
#include "config/startup_state.h"
#include "engine/engine_factory.h"
#include "engine/mivrel.h"
#include "support/temp_dir.h"
#include "sysinfo/cpu_sampler.h"
#include "sysinfo/mivrel_status_entry.h"
#include "sysinfo/system_status.h"

namespace {

using nlohmann::json;

// An engine whose model has five layers: on the processor (plain and
// mapped), on a GPU, on both, and on an unknown device.
class LayeredEngine : public MivrelEngine {
public:
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings& settings) override { nCtx_ = settings.nCtx; }
    void abortGeneration() override {}
    ModelInfo getModelInfo() override {
        ModelInfo info;
        info.loaded = true;
        info.nLayer = 5;
        info.nGpuLayersRequested = 7;
        info.layerPlacement = {{0, "CPU"}, {1, "CUDA0"}, {2, "MIXED"}, {3, "UNKNOWN"}, {4, "CPU_Mapped"}};
        return info;
    }
    ContextStats getContextStats() override {
        ContextStats stats;
        stats.nCtx = nCtx_;
        stats.usedCells = 17;
        return stats;
    }

private:
    int32_t nCtx_ = 0;
};

void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeTextFile(path, text);
}

class StatusEntries : public ::testing::Test {
protected:
    void SetUp() override {
        ServerConfig::DIR_MIVREL = home_.file("mivrel");
        ServerConfig::DIR_MODELS = home_.file("models");
        writeFile(home_.file("models/models.json"),
                  R"({"models": [{"modelId": "other", "name": "Other"}, {"modelId": "m1", "name": "Model One"}]})");
        writeFile(home_.file("models/m1/properties.json"), R"({"n_layer": 32, "familyType": "IMAGE"})");
        writeFile(home_.file("mivrel/plain/properties.json"),
                  R"({"name": "Plain", "modelId": "m1", "familyType": "LLM", "custom": [1, 2], "mivrelId": "plain"})");
        writeFile(home_.file("mivrel/broken/properties.json"), "{ not json");
        writeFile(home_.file("mivrel/ghost/properties.json"), R"({"modelId": "ghost"})");
    }
    void TearDown() override { ServerConfig::resetToDefaults(); }

    TempDir home_;
};

TEST_F(StatusEntries, SettingsModelAndDefaults) {
    const json plain = mivrelStatusEntry(configuredDataFolders(), "plain", nullptr, nowMs());
    EXPECT_EQ(plain, json({{"mivrelId", "plain"},
                           {"name", "Plain"},
                           {"modelId", "m1"},
                           {"custom", {1, 2}},
                           {"modelName", "Model One"},
                           {"totalLayers", 32},
                           {"familyType", "IMAGE"},  // the model's, not the copied one
                           {"status", "not_loaded"},
                           {"contextUsed", 0},
                           {"contextSize", 0},
                           {"conversationId", nullptr},
                           {"generationIndex", 0},
                           {"isLoaded", false},
                           {"lifetimeOutputTokens", 0},
                           {"lastTokensPerSec", nullptr},
                           {"releaseIdleMinutes", nullptr},
                           {"releaseInSec", nullptr}}));

    const json broken = mivrelStatusEntry(configuredDataFolders(), "broken", nullptr, nowMs());
    EXPECT_EQ(broken["name"], "broken");
    EXPECT_FALSE(broken.contains("modelId"));
    EXPECT_EQ(broken["modelName"], "");
    EXPECT_EQ(broken["totalLayers"], 0);
    EXPECT_EQ(broken["familyType"], "LLM");

    const json ghost = mivrelStatusEntry(configuredDataFolders(), "ghost", nullptr, nowMs());
    EXPECT_EQ(ghost["modelName"], "");
    EXPECT_EQ(ghost["totalLayers"], 0);

    // A model id that would leave the models folder is never joined to it.
    writeFile(home_.file("mivrel/escape/properties.json"), R"({"modelId": "../models/m1"})");
    EXPECT_EQ(mivrelStatusEntry(configuredDataFolders(), "escape", nullptr, nowMs())["totalLayers"], 0);
}

TEST_F(StatusEntries, ListStopsAtTheFirstElementThatIsNotAnObject) {
    EXPECT_EQ(mivrelStatusList(configuredDataFolders(), nullptr), json::array()) << "no mivrel.json";
    writeFile(home_.file("mivrel/mivrel.json"), "[broken");
    EXPECT_EQ(mivrelStatusList(configuredDataFolders(), nullptr), json::array());
    writeFile(home_.file("mivrel/mivrel.json"),
              R"({"mivrelList": [{"mivrelId": "plain"}, {"mivrelId": ""}, {"createdAt": "x"}, {"mivrelId": 5},
                                  {"mivrelId": "broken"}, 7, {"mivrelId": "ghost"}]})");
    std::vector<std::string> ids;
    for (const json& entry : mivrelStatusList(configuredDataFolders(), nullptr)) ids.push_back(entry["mivrelId"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"plain", "broken"}));
}

TEST_F(StatusEntries, LiveFieldsOfRegisteredInstances) {
    auto mivrel = std::make_shared<Mivrel>();
    mivrel->engineMaker = [](const std::string&) -> std::unique_ptr<MivrelEngine> {
        return std::make_unique<LayeredEngine>();
    };
    mivrel->config.id = "plain";
    mivrel->config.loadSettings.params = {{"release_policy", "idle:5"}};
    mivrel->config.contextSettings.nCtx = 512;
    mivrel->lifetimeOutputTokens = 1234;

    json entry = mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, nowMs());
    EXPECT_EQ(entry["status"], "idle");
    EXPECT_EQ(entry["isLoaded"], false);
    EXPECT_EQ(entry["lifetimeOutputTokens"], 1234);
    EXPECT_EQ(entry["releaseIdleMinutes"], 5);
    EXPECT_EQ(entry["releaseInSec"], nullptr) << "not loaded";
    EXPECT_EQ(entry["totalLayers"], 32) << "from the model's settings without engine";
    EXPECT_FALSE(entry.contains("gpuLayersActual"));

    mivrel->state = kMivrelLoading;
    EXPECT_EQ(mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, nowMs())["status"], "loading");
    mivrel->state = kMivrelIdle;

    ASSERT_TRUE(mivrel->ensureEngine());
    const int64_t now = nowMs();
    mivrel->lastActiveAt = now - 60000;
    entry = mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, now);
    EXPECT_EQ(entry["status"], "idle");
    EXPECT_EQ(entry["isLoaded"], true);
    EXPECT_EQ(entry["contextSize"], 512);
    EXPECT_EQ(entry["contextUsed"], 17);
    EXPECT_EQ(entry["totalLayers"], 5) << "the loaded model's";
    EXPECT_EQ(entry["gpuLayersActual"], 3) << "MIXED and UNKNOWN count as GPU layers";
    EXPECT_EQ(entry["gpuLayersRequested"], 7);
    EXPECT_EQ(entry["releaseInSec"], 240);

    mivrel->lastActiveAt = now - 6 * 60000;
    EXPECT_EQ(mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, now)["releaseInSec"], 0) << "never negative";

    mivrel->state = kMivrelRunning;
    entry = mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, now);
    EXPECT_EQ(entry["status"], "running");
    EXPECT_EQ(entry["releaseInSec"], nullptr) << "a running instance is not waiting for release";
    mivrel->state = kMivrelStopping;
    EXPECT_EQ(mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, now)["status"], "stopping");
    mivrel->state = kMivrelIdle;

    mivrel->unload(true);
    entry = mivrelStatusEntry(configuredDataFolders(), "plain", mivrel, now);
    EXPECT_EQ(entry["isLoaded"], false);
    EXPECT_EQ(entry["totalLayers"], 32);
    EXPECT_FALSE(entry.contains("gpuLayersActual"));
}

// The server object: the address the process reports (the one a runtime
// properties change set, as the command-line status shows it) and the
// uptime from the start time.
TEST(ServerStatus, ReportedAddressAndUptime) {
    ServerConfig::resetToDefaults();
    ServerConfig::SERV_IP = "127.0.0.1";
    ServerConfig::SERV_PORT = 4092;
    clearReportedServAddress();
    serverStartTime.store(1000);
    json server = serverStatusJson(1000 + 3 * 3600 + 25 * 60 + 7);
    EXPECT_EQ(server["endpoint"], "127.0.0.1:4092");
    EXPECT_EQ(server["uptimeSec"], 3 * 3600 + 25 * 60 + 7);
    EXPECT_EQ(server["uptime"], "03:25:07");

    setReportedServIp("10.1.2.3");
    setReportedServPort(5151);
    server = serverStatusJson(1000);
    EXPECT_EQ(server["endpoint"], "10.1.2.3:5151") << "one address for every report";
    EXPECT_EQ(reportedServIp() + ":" + std::to_string(reportedServPort()), server["endpoint"].get<std::string>());
    EXPECT_EQ(server["uptimeSec"], 0);
    EXPECT_EQ(server["uptime"], "00:00:00");

    // A clock that went back reads 0, never a negative time.
    EXPECT_EQ(serverStatusJson(900)["uptimeSec"], 0);
    serverStartTime.store(0);
    EXPECT_EQ(serverStatusJson(5000)["uptimeSec"], 0) << "not started";
    clearReportedServAddress();
    ServerConfig::resetToDefaults();
}

// The threads of this process, from /proc/self/task.
size_t threadCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// Waits (up to 10 s) until the process has `expected` threads; the count.
size_t threadCountReaches(size_t expected) {
    size_t count = threadCount();
    for (int i = 0; i < 1000 && count != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = threadCount();
    }
    return count;
}

// The sampler over a fixture /proc/stat that the test advances.
TEST(CpuSampler, SamplesInTheBackgroundAndStops) {
    TempDir proc;
    writeTextFile(proc.file("stat"), "cpu  100 0 0 100 0 0 0 0\n");
    CpuSampler sampler(proc.path(), 5);
    EXPECT_EQ(sampler.percent(), -1.0) << "nothing measured before it starts";

    // Several first callers at once start exactly one reader.
    const size_t threadsBefore = threadCount();
    std::vector<std::thread> starters;
    for (int k = 0; k < 4; ++k) starters.emplace_back([&] { sampler.start(); });
    for (std::thread& t : starters) t.join();
    EXPECT_EQ(threadCountReaches(threadsBefore + 1), threadsBefore + 1) << "one reader thread";

    // Each rewrite adds 100 ticks, 75 of them busy, so any two readings the
    // reader takes (its first one may come after a rewrite) differ by 75%.
    const std::string next = proc.file("stat.next");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int k = 1; sampler.percent() != 75.0 && std::chrono::steady_clock::now() < deadline; ++k) {
        writeTextFile(next, "cpu  " + std::to_string(100 + 75 * k) + " 0 0 " + std::to_string(100 + 25 * k) +
                                " 0 0 0 0\n");
        std::filesystem::rename(next, proc.file("stat"));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sampler.percent(), 75.0);

    // An unreadable file changes nothing.
    std::filesystem::remove(proc.file("stat"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sampler.percent(), 75.0);

    sampler.stop();
    sampler.stop();
    EXPECT_EQ(threadCountReaches(threadsBefore), threadsBefore) << "the reader has ended";
    sampler.start();  // never again after a stop
    EXPECT_EQ(threadCount(), threadsBefore);
    // Two readings a running reader would turn into 0% (idle ticks only).
    writeTextFile(proc.file("stat"), "cpu  175 0 0 225 0 0 0 0\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    writeTextFile(next, "cpu  175 0 0 325 0 0 0 0\n");
    std::filesystem::rename(next, proc.file("stat"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(sampler.percent(), 75.0);
}

// Status readers beside the process-wide sampler's first start.
TEST(CpuSampler, ProcessSamplerStartsOnceUnderConcurrentReaders) {
    const size_t threadsBefore = threadCount();
    std::vector<std::thread> readers;
    std::atomic<int> nulls{0};
    for (int k = 0; k < 4; ++k) {
        readers.emplace_back([&] {
            for (int n = 0; n < 50; ++n) {
                const json usage = systemStatusDocument(configuredDataFolders(), nullptr, n % 2 == 0)["usage"]["cpu"];
                if (usage["percent"].is_null()) ++nulls;
            }
        });
    }
    for (std::thread& t : readers) t.join();
    EXPECT_GT(nulls.load(), 0) << "the first answers come before the first interval";
    EXPECT_EQ(threadCountReaches(threadsBefore + 1), threadsBefore + 1) << "one sampler thread for the process";
    stopCpuSampler();
    EXPECT_EQ(threadCountReaches(threadsBefore), threadsBefore) << "stopped on the exit path";
}

}  // namespace
