// The management router's table and replies, the event list limit, and the
// lifecycle steps (unload with a bounded wait, forced delete, reload's
// record swap) on instances with a small engine and a generation played by a
// thread that holds the run claim.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "base/captured_log.h"
#include "config/data_folders.h"
#include "config/runtime_properties.h"
#include "config/server_config.h"
#include "engine/engine_factory.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "mgmt/mivrel_creation.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/model_registry.h"
#include "mgmt/service_context.h"
#include "mgmt/service_switch.h"
#include "mgmt_api/event_endpoints.h"
#include "mgmt_api/mgmt_reply.h"
#include "mgmt_api/mgmt_router.h"
#include "net/fake_peer.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;

class QuietEngine : public MivrelEngine {
public:
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings&) override {}
    void abortGeneration() override {}
    ModelInfo getModelInfo() override { return ModelInfo(); }
    ContextStats getContextStats() override { return ContextStats(); }
};

// One request through a fresh in-memory connection; the written reply.
struct RoutedReply {
    bool routed = false;
    std::string wire;
    int status() const { return std::stoi(wire.substr(9, 3)); }
    json body() const { return json::parse(wire.substr(wire.find("\r\n\r\n") + 4)); }
};

// Services without a manager or an event log.
const ServiceContext& noServices() {
    static const ServiceContext none;
    return none;
}

RoutedReply route(const std::string& method, const std::string& path, const std::string& body = "") {
    FakePeer peer("");
    HttpRequestHandler handler("", "", &peer, peer.getInputStream(), peer.getOutputStream());
    Request request;
    request.method = method;
    request.path = path;
    request.body.assign(body.begin(), body.end());
    Response response;
    RoutedReply reply;
    reply.routed = routeMgmtApi(noServices(), handler, request, response);
    reply.wire = peer.output().written;
    return reply;
}

// A manager with instances "a" and "b" (fake engines) in a temporary
// DIR_MIVREL, installed as the process's manager.
class MgmtLifecycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDir_ = ServerConfig::DIR_MIVREL;
        savedModelsDir_ = ServerConfig::DIR_MODELS;
        ServerConfig::DIR_MIVREL = dir_.path();
        services_.mivrels = std::make_unique<MivrelManager>(
            [](const std::string&) -> std::unique_ptr<MivrelEngine> { return std::make_unique<QuietEngine>(); });
        services_.mivrels->setDir(dir_.path());
        json list = json::array();
        for (const std::string id : {"a", "b"}) {
            MivrelConfig config;
            config.id = id;
            config.name = "before";
            ASSERT_TRUE(services_.mivrels->addMivrel(std::move(config)));
            std::filesystem::create_directories(dir_.file(id));
            writeTextFile(dir_.file(id + "/properties.json"), json{{"mivrelId", id}}.dump());
            list.push_back(json{{"mivrelId", id}});
        }
        writeTextFile(mivrelJsonPath(ServerConfig::DIR_MIVREL), json{{"mivrelList", list}}.dump());
    }
    void TearDown() override {
        stopGeneration_.store(true);
        if (generation_.joinable()) generation_.join();
        services_.mivrels.reset();
        ServerConfig::DIR_MIVREL = savedDir_;
        ServerConfig::DIR_MODELS = savedModelsDir_;
    }

    std::shared_ptr<Mivrel> loaded(const std::string& id) {
        std::shared_ptr<Mivrel> mivrel = services_.mivrels->find(id);
        MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad);
        EXPECT_TRUE(claim);
        claim.ensureEngine();
        return mivrel;
    }

    // A generation on `mivrel` that ends when asked to abort, or only at the
    // end of the test when `ignoresAbort`.
    void startGeneration(const std::shared_ptr<Mivrel>& mivrel, bool ignoresAbort) {
        MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
        ASSERT_TRUE(claim);
        generation_ = std::thread([this, ignoresAbort, claim = std::move(claim)]() mutable {
            while (!stopGeneration_.load() && (ignoresAbort || !claim->abortRequested.load())) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            claim.release();
        });
    }

    bool listed(const std::string& id) {
        const json registry = json::parse(readTextFile(mivrelJsonPath(ServerConfig::DIR_MIVREL)));
        for (const json& entry : registry["mivrelList"]) {
            if (entry["mivrelId"] == id) return true;
        }
        return false;
    }

    std::string listedIds() {
        std::string ids;
        const json registry = json::parse(readTextFile(mivrelJsonPath(ServerConfig::DIR_MIVREL)));
        for (const json& entry : registry["mivrelList"]) ids += entry["mivrelId"].get<std::string>();
        return ids;
    }

    TempDir dir_;
    ServiceContext services_;
    std::string savedDir_;
    std::string savedModelsDir_;
    std::thread generation_;
    std::atomic<bool> stopGeneration_{false};
};

TEST(MgmtRouterTest, PicksOneHandlerByMethodAndPathOrNone) {
    // With no manager and no event log every handler answers in its own way,
    // which shows which one the router chose.
    ASSERT_EQ(noServices().mivrels, nullptr);
    struct Case {
        const char* method;
        const char* path;
        int status;  // 0: not routed
        const char* message;
    } cases[] = {
        {"POST", "/mgmt-api/mivrel/x/start", 500, "MivrelManager not available"},
        {"POST", "/mgmt-api/mivrel/a/b/start", 500, "MivrelManager not available"},
        {"POST", "/mgmt-api/mivrel/x/storage/reset", 404, "unknown mivrelId: x"},
        {"POST", "/mgmt-api/mivrel/x/y/storage/reset", 500, "MivrelManager not available"},  // context reset
        {"GET", "/mgmt-api/events", 500, "EventManager not initialized"},
        {"POST", "/mgmt-api/events/clear", 500, "EventManager not initialized"},
        {"POST", "/mgmt-api/events/ev-00001/delete", 500, "EventManager not initialized"},
        {"POST", "/mgmt-api/mivrel//start", 0, ""},
        {"PUT", "/mgmt-api/mivrel/x/properties", 0, ""},
        {"DELETE", "/mgmt-api/events", 0, ""},
        {"GET", "/mgmt-api/events/", 0, ""},
        {"get", "/mgmt-api/events", 0, ""},
        {"GET", "/mgmt-api/models/", 0, ""},
        {"GET", "/mgmt-api/models/x/delete", 0, ""},
        {"GET", "/mgmt-api/mivrel/x/modelSpec", 500, "MivrelManager not available"},
        {"GET", "/mgmt-api/mivrel/x/layerTensors", 500, "MivrelManager not available"},
        {"GET", "/mgmt-api/cli/status/", 0, ""},
        {"POST", "/mgmt-api/cli/status", 0, ""},
    };
    for (const Case& c : cases) {
        const RoutedReply reply = route(c.method, c.path);
        ASSERT_EQ(reply.routed, c.status != 0) << c.method << " " << c.path;
        if (c.status == 0) {
            EXPECT_EQ(reply.wire, "") << c.path;
            continue;
        }
        EXPECT_EQ(reply.status(), c.status) << c.path;
        EXPECT_EQ(reply.body()["error"]["message"], c.message) << c.path;
        EXPECT_FALSE(reply.body()["error"].contains("httpStatus")) << c.path;
    }
}

TEST(MgmtReplyTest, ErrorsCarryTheManagementReasonTextsAndCompactSortedBodies) {
    struct Case {
        int status;
        const char* line;
    } cases[] = {{404, "HTTP/1.1 404 Not Found\r\n"},
                 {409, "HTTP/1.1 409 Conflict\r\n"},
                 {400, "HTTP/1.1 400 Bad Request\r\n"},
                 {502, "HTTP/1.1 502 Internal Server Error\r\n"},
                 {503, "HTTP/1.1 503 Internal Server Error\r\n"}};
    for (const Case& c : cases) {
        FakePeer peer("");
        HttpRequestHandler handler("", "", &peer, peer.getInputStream(), peer.getOutputStream());
        Response response;
        sendError(handler, response, c.status, "some_code", "bad \xff byte");
        const std::string& wire = peer.output().written;
        EXPECT_EQ(wire.rfind(c.line, 0), 0u) << wire;
        EXPECT_NE(wire.find("Content-Type: application/json\r\n"), std::string::npos);
        EXPECT_NE(wire.find("\r\n\r\n{\"error\":{\"code\":\"some_code\",\"message\":\"bad \xEF\xBF\xBD byte\"}}"),
                  std::string::npos)
            << wire;
    }
    FakePeer peer("");
    HttpRequestHandler handler("", "", &peer, peer.getInputStream(), peer.getOutputStream());
    Response response;
    json value = json::object();
    value["status"] = "started";
    value["mivrelId"] = "m";
    value["actionTaken"] = true;
    sendJson(handler, response, value);
    const std::string& wire = peer.output().written;
    EXPECT_EQ(wire.substr(wire.find("\r\n\r\n") + 4), R"({"actionTaken":true,"mivrelId":"m","status":"started"})");
}

TEST(MgmtEventLimitTest, ReadsTheNumberAfterTheFirstLimit) {
    struct Case {
        const char* query;
        uint32_t limit;
    } cases[] = {{"", 500},           {"limit=3", 3},         {"limit=3&foo=1", 3},    {"x=1&limit=0", 0},
                 {"limit=abc", 500},  {"limit=-1", 4294967295u}, {"limit= 7", 7},     {"limit=99999999999", 500},
                 {"limit=", 500},     {"nolimit=4", 4}};
    for (const Case& c : cases) EXPECT_EQ(eventListLimit(c.query), c.limit) << c.query;
}

TEST_F(MgmtLifecycleTest, UnloadWaitsForARunningGenerationAndRefusesWhenItDoesNotEnd) {
    const std::shared_ptr<Mivrel> a = loaded("a");
    startGeneration(a, false);
    EXPECT_EQ(unloadWaiting(a, false, kGenerationStopWaitMs), UnloadOutcome::kUnloaded);
    EXPECT_FALSE(a->hasEngine());
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    generation_.join();
    EXPECT_EQ(unloadWaiting(a, false, kGenerationStopWaitMs), UnloadOutcome::kNotLoaded);

    const std::shared_ptr<Mivrel> b = loaded("b");
    startGeneration(b, true);
    EXPECT_EQ(unloadWaiting(b, false, 200), UnloadOutcome::kTimedOut);
    EXPECT_TRUE(b->hasEngine()) << "the engine stays while the generation runs";
}

TEST_F(MgmtLifecycleTest, ForcedDeleteStopsTheGenerationThenRemovesEverything) {
    const std::shared_ptr<Mivrel> a = loaded("a");
    startGeneration(a, false);
    std::string error;
    ASSERT_TRUE(forceDeleteMivrel(configuredDataFolders(), services_.mivrels.get(), "a", error)) << error;
    EXPECT_EQ(services_.mivrels->find("a"), nullptr);
    EXPECT_FALSE(a->hasEngine());
    EXPECT_TRUE(a->retired.load());
    EXPECT_FALSE(MivrelClaim::acquire(a, ClaimKind::kRun)) << "a removed record is never claimed again";
    EXPECT_FALSE(std::filesystem::exists(dir_.file("a")));
    EXPECT_EQ(listedIds(), "b");

    // An id that is only listed is removed from the list too.
    ASSERT_TRUE(services_.mivrels->removeMivrel("b") == ClaimResult::kOk);
    ASSERT_TRUE(forceDeleteMivrel(configuredDataFolders(), services_.mivrels.get(), "b", error)) << error;
    EXPECT_EQ(listedIds(), "");
}

TEST_F(MgmtLifecycleTest, ForcedDeleteOfAGenerationThatNeverStopsRemovesNothing) {
    const std::shared_ptr<Mivrel> b = loaded("b");
    startGeneration(b, true);
    std::string error;
    EXPECT_FALSE(forceDeleteMivrel(configuredDataFolders(), services_.mivrels.get(), "b", error));
    EXPECT_EQ(error, "추론 종료 대기 시간 초과 — 삭제 취소: b");
    EXPECT_EQ(services_.mivrels->find("b"), b);
    EXPECT_TRUE(b->hasEngine());
    EXPECT_TRUE(std::filesystem::exists(dir_.file("b/properties.json")));
    EXPECT_EQ(listedIds(), "ab");
}

TEST_F(MgmtLifecycleTest, AnUnreadableListIsNeverRewritten) {
    writeTextFile(mivrelJsonPath(ServerConfig::DIR_MIVREL), "{\"mivrelList\": [");
    std::string error;
    ASSERT_TRUE(removeMivrelRecord(configuredDataFolders(), "a", error)) << error;
    EXPECT_EQ(readTextFile(mivrelJsonPath(ServerConfig::DIR_MIVREL)), "{\"mivrelList\": [");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("a")));
}

TEST_F(MgmtLifecycleTest, ReplacingARecordRetiresTheOldOneForGood) {
    const std::shared_ptr<Mivrel> old = loaded("a");
    MivrelClaim claim = MivrelClaim::acquire(old, ClaimKind::kLoad);
    ASSERT_TRUE(claim);
    MivrelConfig config;
    config.id = "a";
    config.name = "after";
    ASSERT_TRUE(services_.mivrels->replaceMivrel(claim, std::move(config)));
    EXPECT_FALSE(claim);
    claim.release();  // nothing left to release
    EXPECT_FALSE(old->hasEngine());
    EXPECT_EQ(old->config.name, "before") << "holders of the old record keep a consistent copy";
    EXPECT_FALSE(MivrelClaim::acquire(old, ClaimKind::kRun));
    const std::shared_ptr<Mivrel> now = services_.mivrels->find("a");
    ASSERT_NE(now, old);
    EXPECT_EQ(now->config.name, "after");
    EXPECT_EQ(now->state.load(), kMivrelIdle);

    // A configuration for another id swaps nothing and leaves the claim held.
    MivrelClaim held = MivrelClaim::acquire(now, ClaimKind::kLoad);
    MivrelConfig other;
    other.id = "b";
    EXPECT_FALSE(services_.mivrels->replaceMivrel(held, std::move(other)));
    EXPECT_TRUE(held);
    EXPECT_EQ(services_.mivrels->find("a"), now);
}

TEST_F(MgmtLifecycleTest, ACreationRacingADeleteOfTheSameIdComesWhollyBeforeOrAfter) {
    ServerConfig::DIR_MODELS = dir_.file("models");
    std::filesystem::create_directories(ServerConfig::DIR_MODELS);
    writeTextFile(modelsJsonPath(ServerConfig::DIR_MODELS),
                  json{{"models", {{{"modelId", "m"}, {"filename", "m.gguf"}, {"downloadedAt", "2026-01-01"}}}}}.dump());
    const json request = {{"mivrelId", "a"}, {"modelId", "m"}, {"name", "A"}};
    const DataFolders folders = configuredDataFolders();
    for (int round = 0; round < 4; ++round) {
        if (!services_.mivrels->find("a")) {
            ASSERT_TRUE(createMivrel(folders, services_.mivrels.get(), request).ok);
        }
        // A folder of many files takes a while to delete: a creation that
        // does not wait for it writes into a folder being deleted.
        std::filesystem::create_directories(dir_.file("a/junk"));
        for (int i = 0; i < 2000; ++i) writeTextFile(dir_.file("a/junk/f" + std::to_string(i)), "x");

        std::string error;
        DeleteOutcome deleted = DeleteOutcome::kFailed;
        CreateMivrelResult created;
        std::thread remover([&] { deleted = deleteMivrel(folders, services_.mivrels.get(), "a", error); });
        std::thread creator([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            created = createMivrel(folders, services_.mivrels.get(), request);
        });
        remover.join();
        creator.join();

        ASSERT_EQ(deleted, DeleteOutcome::kDeleted) << error;
        const bool registered = services_.mivrels->find("a") != nullptr;
        const bool stored = std::filesystem::exists(dir_.file("a/properties.json"));
        // Created after the delete: everything there; refused because it
        // came first (still listed): everything gone.
        EXPECT_EQ(registered, created.ok) << "round " << round << ": " << created.errorMessage;
        EXPECT_EQ(listed("a"), created.ok) << "round " << round;
        EXPECT_EQ(stored, created.ok) << "round " << round;
        if (!created.ok) {
            EXPECT_EQ(created.errorCode, "mivrel_already_exists");
        }
    }
}

// Switching the service off unloads what it can; an instance whose
// generation does not stop within the bound stays loaded, is named in the
// log, and does not keep the switch from being stored.
TEST_F(MgmtLifecycleTest, DeactivationLeavesAGenerationThatDoesNotStopLoadedAndStoresTheSwitch) {
    const std::string state = dir_.file("state.properties");
    writeTextFile(state, "APP_ID = x\nBRISVANE_EXPORT = true\n");
    setRuntimePropertiesPathForTesting(state);
    loadRuntimeProperties();
    ASSERT_TRUE(runtimeprops::brisvaneExport.load());
    const std::shared_ptr<Mivrel> a = loaded("a");
    const std::shared_ptr<Mivrel> b = loaded("b");
    startGeneration(b, true);
    CapturedLog log;
    EXPECT_TRUE(deactivateBrisvane(services_.mivrels.get()));
    EXPECT_FALSE(a->hasEngine());
    EXPECT_TRUE(b->hasEngine());
    EXPECT_TRUE(log.contains("[mgmt] deactivateBrisvane: Mivrel[b] 추론 종료 대기 시간 초과 — 언로드 생략")) << log.text();
    EXPECT_FALSE(runtimeprops::brisvaneExport.load());
    EXPECT_NE(readTextFile(state).find("BRISVANE_EXPORT     = false\n"), std::string::npos) << readTextFile(state);
    setRuntimePropertiesPathForTesting("work/.runtime.properties");
}

}  // namespace
