// The system reports on the real brisvanesrv: the system status with and
// without the hardware description, instances with live figures while one
// chats, and the product information's first build, cached copy and refresh.
#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

std::string chatBody(const std::string& conversation, const std::string& text) {
    return json({{"conversationId", conversation},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 {"options", {{"stream", true}}}})
        .dump();
}

// bytes / 2^30 rounded to one decimal, half away from zero.
// The web view library the desktop shell uses is installed here (as set-up
// does it on Debian).
bool webKitInstalled() {
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib"}) {
        if (std::filesystem::exists(std::string(dir) + "/libwebkit2gtk-4.1.so.0")) return true;
    }
    return false;
}

double gb(double bytes) { return std::round(bytes / 1073741824.0 * 10.0) / 10.0; }

// Every number under a key ending in "GB" has at most one decimal.
void expectTenths(const json& value, const std::string& where) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            const std::string key = it.key();
            if (key.size() > 2 && key.compare(key.size() - 2, 2, "GB") == 0) {
                ASSERT_TRUE(it->is_number()) << where << "." << key;
                const double tenths = it->get<double>() * 10.0;
                EXPECT_NEAR(tenths, std::round(tenths), 1e-6) << where << "." << key << " = " << it->dump();
            }
            expectTenths(*it, where + "." + key);
        }
    } else if (value.is_array()) {
        for (const json& item : value) expectTenths(item, where + "[]");
    }
}

std::vector<std::string> keysOf(const json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

uint64_t memTotalBytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kib = 0;
    while (meminfo >> key >> kib) {
        if (key == "MemTotal:") return kib * 1024;
        meminfo.ignore(1 << 10, '\n');
    }
    return 0;
}

class SystemInfo : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        suiteStart_ = std::chrono::system_clock::now();
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}, {"n_layer", 2}});
        home_->addInstance("busy", "tagged");
        home_->addInstance("quiet", "tagged", {{"release_policy", "idle:7"}});
        // "--verbose" puts the product information's build line into the log.
        home_->start({}, {"--verbose"});
    }
    static void TearDownTestSuite() { home_.reset(); }

    static json getJson(const std::string& target) {
        const HttpReply reply = home_->get(target);
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        return json::parse(reply.body, nullptr, false);
    }
    static json statusEntry(const json& document, const std::string& id) {
        for (const json& entry : document["mivrelList"]) {
            if (entry["mivrelId"] == id) return entry;
        }
        return nullptr;
    }
    static int productBuilds() {
        const std::string log = home_->serverLog();
        int count = 0;
        for (size_t at = log.find("[productInfo]"); at != std::string::npos; at = log.find("[productInfo]", at + 1)) ++count;
        return count;
    }

    static std::unique_ptr<InstanceHome> home_;
    static std::chrono::system_clock::time_point suiteStart_;
};
std::unique_ptr<InstanceHome> SystemInfo::home_;
std::chrono::system_clock::time_point SystemInfo::suiteStart_;

TEST_F(SystemInfo, SystemStatusDocument) {
    const json first = getJson("/mgmt-api/systemStatus");
    EXPECT_EQ(keysOf(first), (std::vector<std::string>{"mivrelList", "server", "usage"}));
    EXPECT_EQ(keysOf(first["usage"]), (std::vector<std::string>{"cpu", "gpu", "memory", "storage"}));
    EXPECT_TRUE(first["usage"]["cpu"]["percent"].is_null()) << "the sampler has not measured an interval yet";
    EXPECT_GE(first["usage"]["cpu"]["coreCount"].get<int>(), 1);
    EXPECT_EQ(first["usage"]["gpu"], json::array()) << "no CUDA runtime here";
    EXPECT_EQ(keysOf(first["usage"]["memory"]), (std::vector<std::string>{"freeGB", "percent", "totalGB", "usedGB"}));
    EXPECT_EQ(first["usage"]["memory"]["totalGB"], gb(static_cast<double>(memTotalBytes())));

    struct statvfs volume {};
    ASSERT_EQ(statvfs(home_->dir().file("models").c_str(), &volume), 0);
    EXPECT_EQ(first["usage"]["storage"]["modelDirPath"], "models");
    EXPECT_EQ(first["usage"]["storage"]["totalGB"], gb(static_cast<double>(volume.f_blocks) * volume.f_frsize));
    expectTenths(first, "systemStatus");

    const json& server = first["server"];
    EXPECT_EQ(keysOf(server), (std::vector<std::string>{"brisvaneId", "debugBuild", "endpoint", "gatewayStatus",
                                                        "status", "uptime", "uptimeSec", "version"}));
    EXPECT_EQ(server["debugBuild"], false);
    EXPECT_EQ(server["status"], "running");
    EXPECT_EQ(server["version"], "1.0.23");
    EXPECT_EQ(server["endpoint"], "127.0.0.1:" + std::to_string(home_->port()));
    // The uptime text and the seconds tell the same time since the start,
    // which came after this suite began.
    std::smatch hms;
    const std::string uptime = server["uptime"].get<std::string>();
    ASSERT_TRUE(std::regex_match(uptime, hms, std::regex("([0-9]{2,}):([0-5][0-9]):([0-5][0-9])"))) << uptime;
    const int uptimeSec = server["uptimeSec"].get<int>();
    EXPECT_EQ(uptimeSec, std::stoi(hms[1]) * 3600 + std::stoi(hms[2]) * 60 + std::stoi(hms[3]));
    const auto sinceSuite = std::chrono::system_clock::now() - suiteStart_;
    EXPECT_LE(uptimeSec, std::chrono::duration_cast<std::chrono::seconds>(sinceSuite).count() + 1);
    EXPECT_EQ(server["brisvaneId"], "");
    EXPECT_EQ(server["gatewayStatus"], "unregistered");

    // A second or so later the sampler has a figure with at most one decimal.
    json percent;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        percent = getJson("/mgmt-api/systemStatus")["usage"]["cpu"]["percent"];
        if (!percent.is_null()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(percent.is_number()) << percent.dump();
    EXPECT_GE(percent.get<double>(), 0.0);
    EXPECT_LE(percent.get<double>(), 100.0);
    EXPECT_NEAR(percent.get<double>() * 10, std::round(percent.get<double>() * 10), 1e-6);
}

TEST_F(SystemInfo, SpecOnlyWhenTheQueryAsksForIt) {
    const std::pair<const char*, bool> cases[] = {
        {"/mgmt-api/systemStatus?include=spec", true},
        {"/mgmt-api/systemStatus?a=1&include=specs", true},
        {"/mgmt-api/systemStatus/extra?include=spec", true},
        {"/mgmt-api/systemStatus?include=spe", false},
        {"/mgmt-api/systemStatus?include%3Dspec", false},
        {"/mgmt-api/systemStatus", false},
    };
    for (const auto& [target, spec] : cases) {
        const json document = getJson(target);
        EXPECT_EQ(document.contains("spec"), spec) << target;
        if (!spec) continue;
        const json& part = document["spec"];
        EXPECT_EQ(keysOf(part), (std::vector<std::string>{"cpu", "gpu", "memory", "storage"})) << target;
        EXPECT_EQ(keysOf(part["cpu"]),
                  (std::vector<std::string>{"allocatedCoreCount", "coreCount", "name", "threadCount"}));
        EXPECT_EQ(part["memory"], json({{"totalGB", document["usage"]["memory"]["totalGB"]}}));
        EXPECT_EQ(part["gpu"], json::array());
        EXPECT_EQ(part["storage"]["totalGB"], document["usage"]["storage"]["totalGB"]);
        expectTenths(document, target);
    }
}

TEST_F(SystemInfo, InstancesWithLiveFiguresWhileOneChats) {
    json quiet = statusEntry(getJson("/mgmt-api/systemStatus"), "quiet");
    EXPECT_EQ(quiet["status"], "idle") << "registered without engine";
    EXPECT_EQ(quiet["isLoaded"], false);
    EXPECT_EQ(quiet["modelName"], "Model tagged");
    EXPECT_EQ(quiet["name"], "Name of quiet");
    EXPECT_EQ(quiet["totalLayers"], 2) << "from the model's properties";
    EXPECT_EQ(quiet["releaseIdleMinutes"], 7);
    EXPECT_TRUE(quiet["releaseInSec"].is_null());

    OpenStream stream;
    ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/busy/messages", chatBody("c1", "tick~")));
    ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();
    // Many readers at once while the engine generates: none of them waits
    // for the generation or touches its engine.
    std::vector<std::thread> readers;
    std::vector<json> seen(4);
    for (size_t k = 0; k < seen.size(); ++k) {
        readers.emplace_back([&, k] { seen[k] = statusEntry(getJson("/mgmt-api/systemStatus?include=spec"), "busy"); });
    }
    for (std::thread& reader : readers) reader.join();
    for (const json& busy : seen) {
        EXPECT_EQ(busy["status"], "running") << busy.dump();
        EXPECT_EQ(busy["isLoaded"], true);
        EXPECT_GT(busy["contextSize"].get<int>(), 0);
        EXPECT_LE(busy["contextSize"].get<int>(), 512);
        // The instance's first reply: the context already holds its prompt
        // and the tokens streamed so far.
        EXPECT_GT(busy["contextUsed"].get<int>(), 0) << busy.dump();
        EXPECT_LE(busy["contextUsed"].get<int>(), busy["contextSize"].get<int>());
        EXPECT_EQ(busy["totalLayers"], 2);
        EXPECT_EQ(busy["gpuLayersActual"], 0) << "every layer on the processor";
        EXPECT_TRUE(busy.contains("gpuLayersRequested"));
        EXPECT_EQ(busy["modelName"], "Model tagged");
        EXPECT_TRUE(busy["releaseIdleMinutes"].is_null()) << "keep policy";
    }

    ASSERT_EQ(home_->post("/mgmt-api/mivrel/busy/stop", "").status, 200);
    ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << stream.received();
    const json busy = statusEntry(getJson("/mgmt-api/systemStatus"), "busy");
    EXPECT_EQ(busy["status"], "idle");
    EXPECT_EQ(busy["conversationId"], "c1");
    EXPECT_GE(busy["generationIndex"].get<int>(), 1);
    EXPECT_GT(busy["lifetimeOutputTokens"].get<int>(), 0);
    EXPECT_GT(busy["contextUsed"].get<int>(), 0);
    // The stopped generation made tokens: its speed is recorded, with at most one decimal.
    ASSERT_TRUE(busy["lastTokensPerSec"].is_number()) << busy.dump();
    const double speed = busy["lastTokensPerSec"].get<double>();
    EXPECT_GT(speed, 0.0);
    EXPECT_NEAR(speed * 10, std::round(speed * 10), 1e-6);
}

TEST_F(SystemInfo, ProductInfoBuildCacheAndRefresh) {
    const json first = getJson("/mgmt-api/productInfo");
    EXPECT_EQ(productBuilds(), 1);
    EXPECT_EQ(keysOf(first), (std::vector<std::string>{"capacity", "components", "conclusion", "cpu", "criteria",
                                                       "devices", "diagnostics", "os", "product"}));
    std::vector<std::string> ids;
    for (const json& component : first["components"]) ids.push_back(component["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"cuda_runtime", "nvidia_driver", "llama_cpp", "sd_cpp", "openssl",
                                             "vc_runtime", "webview2"}));
    EXPECT_EQ(first["os"]["platform"], "linux");
    EXPECT_EQ(first["product"]["version"], "1.0.23");
    EXPECT_FALSE(first["product"]["installDir"].get<std::string>().empty());
    EXPECT_EQ(first["capacity"]["modelsDir"], "models");
    EXPECT_EQ(first["capacity"]["ramGB"], gb(static_cast<double>(memTotalBytes())));
    EXPECT_EQ(keysOf(first["cpu"]), (std::vector<std::string>{"allocatedCoreCount", "coreCount", "name", "threadCount"}));
    // This machine has no NVIDIA driver and no media library.
    for (const json& component : first["components"]) {
        if (component["id"] == "nvidia_driver") {
            EXPECT_EQ(component["status"], "info");
        }
        if (component["id"] == "llama_cpp") {
            EXPECT_EQ(component["status"], "ok");
        }
        // Set-up installs WebKitGTK 4.1 for the desktop shell; this headless
        // server has not loaded it and still finds it installed.
        if (component["id"] == "webview2" && webKitInstalled()) {
            EXPECT_EQ(component["status"], "ok") << component.dump();
            EXPECT_FALSE(component["version"].get<std::string>().empty()) << component.dump();
        }
    }
    if (webKitInstalled()) {
        for (const json& issue : first["diagnostics"]) EXPECT_NE(issue["code"], "webview2_missing");
    }
    EXPECT_EQ(first["conclusion"][0], json({{"id", "gpu_inference"}, {"status", "unavailable"}, {"reason", "no_nvidia_gpu"}}));
    EXPECT_EQ(first["conclusion"][1], json({{"id", "cpu_offload"}, {"status", "ok"}, {"reason", ""}}));
    EXPECT_EQ(first["diagnostics"][0]["code"], "no_nvidia_driver");
    expectTenths(first, "productInfo");

    // Later calls copy the cache; only "refresh=1" anywhere in the query rebuilds.
    const std::pair<const char*, int> calls[] = {
        {"/mgmt-api/productInfo", 1},           {"/mgmt-api/productInfo?refresh=0", 1},
        {"/mgmt-api/productInfoX", 1},          {"/mgmt-api/productInfo?refresh=1", 2},
        {"/mgmt-api/productInfo?x=refresh=10", 3}, {"/mgmt-api/productInfo", 3},
    };
    for (const auto& [target, builds] : calls) {
        const json again = getJson(target);
        EXPECT_EQ(productBuilds(), builds) << target;
        json a = again, b = first;
        EXPECT_EQ(a.erase("capacity"), 1u);
        b.erase("capacity");
        EXPECT_EQ(a, b) << target;
    }
}

}  // namespace
