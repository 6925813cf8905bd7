#include <gtest/gtest.h>

#include "engine/format_string.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;

MivrelConfig configFor(const std::string& id, json params = json::object()) {
    MivrelConfig config;
    config.id = id;
    config.type = "local";
    config.loadSettings.modelPath = "/models/" + id + ".gguf";
    config.loadSettings.params = std::move(params);
    return config;
}

class MivrelManagerTest : public testing::Test {
protected:
    void SetUp() override { manager.setDir(dir.path()); }

    FakeEngineMaker maker;
    TempDir dir;
    MivrelManager manager{FakeEngineMaker::make()};
};

TEST_F(MivrelManagerTest, AddFindSnapshotAndDuplicates) {
    EXPECT_EQ(manager.find("a"), nullptr);
    EXPECT_TRUE(manager.addMivrel(configFor("b")));
    EXPECT_TRUE(manager.addMivrel(configFor("a")));
    EXPECT_TRUE(manager.addMivrel(configFor("B")));
    MivrelConfig second = configFor("a");
    second.name = "second";
    EXPECT_FALSE(manager.addMivrel(std::move(second)));

    std::shared_ptr<Mivrel> a = manager.find("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->config.name, "");  // the first registration stays
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    EXPECT_FALSE(a->hasEngine());

    std::vector<std::string> ids;
    for (const auto& m : manager.snapshotMivrels()) ids.push_back(m->config.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"B", "a", "b"}));  // byte order
}

TEST_F(MivrelManagerTest, StoreIsConfiguredFromTheBooleanFlags) {
    struct Case {
        json params;
        bool encrypted;
        bool truncate;
    };
    const Case cases[] = {
        {{{"enable_storage_encryption", true}, {"truncate_storage_on_unload", true}}, true, true},
        {{{"enable_storage_encryption", "true"}, {"truncate_storage_on_unload", "true"}}, false, false},
        {{{"enable_storage_encryption", 1}}, false, false},
        {json::object(), false, false},
        {json::array(), false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string id = "m" + std::to_string(n++);
        ASSERT_TRUE(manager.addMivrel(configFor(id, c.params)));
        std::shared_ptr<Mivrel> m = manager.find(id);
        EXPECT_EQ(m->fileStore.path(), dir.path() + "/" + id + "/storage.kvx");
        EXPECT_EQ(m->fileStore.encryptedConfigured(), c.encrypted) << c.params.dump();
        EXPECT_EQ(m->fileStore.truncateOnUnload(), c.truncate) << c.params.dump();
    }
}

TEST_F(MivrelManagerTest, TruncateStorageOnUnloadCountsEmptiedStores) {
    ASSERT_TRUE(manager.addMivrel(configFor("keep")));
    ASSERT_TRUE(manager.addMivrel(configFor("wipe", {{"truncate_storage_on_unload", true}})));
    ASSERT_TRUE(manager.addMivrel(configFor("wipe-empty", {{"truncate_storage_on_unload", true}})));
    for (const char* id : {"keep", "wipe"}) {
        std::shared_ptr<Mivrel> m = manager.find(id);
        StorageKey key = m->fileStore.open("", true);
        m->fileStore.saveGeneratedFile("f", "txt", std::string_view("x"), key);
    }
    EXPECT_EQ(manager.truncateStorageOnUnload(), 1);
    EXPECT_EQ(manager.find("keep")->fileStore.list().size(), 1u);
}

TEST_F(MivrelManagerTest, ClaimsExcludeEachOther) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    a->abortRequested = true;

    ClaimResult result = ClaimResult::kNotFound;
    MivrelClaim run = MivrelClaim::acquire(a, ClaimKind::kRun, &result);
    ASSERT_TRUE(run);
    EXPECT_EQ(result, ClaimResult::kOk);
    EXPECT_EQ(a->state.load(), kMivrelRunning);
    EXPECT_FALSE(a->abortRequested.load());  // a run claim clears it

    EXPECT_FALSE(MivrelClaim::acquire(a, ClaimKind::kRun, &result));
    EXPECT_EQ(result, ClaimResult::kBusy);
    EXPECT_FALSE(MivrelClaim::acquire(a, ClaimKind::kLoad, &result));
    EXPECT_EQ(result, ClaimResult::kBusy);
    EXPECT_EQ(unloadUnclaimed(a, false), ClaimResult::kBusy);
    EXPECT_EQ(manager.removeMivrel("a"), ClaimResult::kBusy);
    EXPECT_NE(manager.find("a"), nullptr);

    // Moving a claim moves the hold; the moved-from claim releases nothing.
    MivrelClaim moved = std::move(run);
    run.release();
    EXPECT_EQ(a->state.load(), kMivrelRunning);
    moved.release();
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    EXPECT_GT(a->lastActiveAt.load(), 0);

    MivrelClaim load = MivrelClaim::acquire(a, ClaimKind::kLoad, &result);
    ASSERT_TRUE(load);
    EXPECT_FALSE(MivrelClaim::acquire(a, ClaimKind::kRun, &result));
    EXPECT_EQ(result, ClaimResult::kLoading);
    EXPECT_EQ(manager.removeMivrel("a"), ClaimResult::kLoading);
    EXPECT_TRUE(load.ensureEngine());
    EXPECT_FALSE(load.ensureEngine());  // one engine only
    load = MivrelClaim();                // assignment ends the held claim
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    EXPECT_TRUE(a->hasEngine());

    EXPECT_FALSE(MivrelClaim::acquire(nullptr, ClaimKind::kRun, &result));
    EXPECT_EQ(result, ClaimResult::kNotFound);
}

TEST_F(MivrelManagerTest, StoppingStateEndsWithTheClaim) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    {
        MivrelClaim claim = MivrelClaim::acquire(a, ClaimKind::kRun);
        a->state = kMivrelStopping;
        ClaimResult result = ClaimResult::kOk;
        EXPECT_FALSE(MivrelClaim::acquire(a, ClaimKind::kRun, &result));
        EXPECT_EQ(result, ClaimResult::kBusy);
    }
    EXPECT_EQ(a->state.load(), kMivrelIdle);
}

TEST_F(MivrelManagerTest, UnloadUnclaimed) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    EXPECT_EQ(unloadUnclaimed(a, false), ClaimResult::kNotLoaded);
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    {
        MivrelClaim claim = MivrelClaim::acquire(a, ClaimKind::kRun);
        claim.ensureEngine();
    }
    a->generationIndex = 3;
    EXPECT_EQ(unloadUnclaimed(a, false), ClaimResult::kOk);
    EXPECT_FALSE(a->hasEngine());
    EXPECT_EQ(a->generationIndex, 0);
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    EXPECT_EQ(unloadUnclaimed(nullptr, false), ClaimResult::kNotFound);
}

TEST_F(MivrelManagerTest, RemovedInstanceLivesOnForItsHoldersButCannotBeClaimed) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> stale = manager.find("a");
    {
        MivrelClaim claim = MivrelClaim::acquire(stale, ClaimKind::kRun);
        claim.ensureEngine();
    }
    const int live = FakeEngine::live.load();
    EXPECT_EQ(manager.removeMivrel("a"), ClaimResult::kOk);
    EXPECT_EQ(manager.removeMivrel("a"), ClaimResult::kNotFound);
    EXPECT_EQ(manager.find("a"), nullptr);
    EXPECT_EQ(FakeEngine::live.load(), live - 1);  // the engine went with the removal
    EXPECT_TRUE(stale->retired.load());
    EXPECT_FALSE(stale->hasEngine());

    ClaimResult result = ClaimResult::kOk;
    EXPECT_FALSE(MivrelClaim::acquire(stale, ClaimKind::kRun, &result));
    EXPECT_EQ(result, ClaimResult::kRemoved);
    EXPECT_EQ(unloadUnclaimed(stale, false), ClaimResult::kRemoved);
    EXPECT_TRUE(stale->stopGenerationAndWait(1000));

    // The id can be registered again as a new instance.
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    EXPECT_NE(manager.find("a"), stale);
}

TEST_F(MivrelManagerTest, StopOfAnIdleInstanceReturnsAtOnceUntouched) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    for (int state : {kMivrelIdle, kMivrelLoading}) {
        a->state = state;
        EXPECT_TRUE(a->stopGenerationAndWait(5000));
        EXPECT_FALSE(a->abortRequested.load());
        EXPECT_EQ(a->state.load(), state);  // never left in stopping
    }
    a->state = kMivrelIdle;
}

TEST_F(MivrelManagerTest, StopWaitsForTheRequestToEnd) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    MivrelClaim claim = MivrelClaim::acquire(a, ClaimKind::kRun);
    claim.ensureEngine();
    auto* engine = dynamic_cast<FakeEngine*>(a->engine.get());
    ASSERT_NE(engine, nullptr);

    // The request ends once its engine has been asked to abort.
    std::thread request([&] {
        while (engine->aborts.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        claim.release();
    });
    EXPECT_TRUE(a->stopGenerationAndWait(60000));
    request.join();
    EXPECT_EQ(a->state.load(), kMivrelIdle);
    EXPECT_TRUE(a->abortRequested.load());
    EXPECT_EQ(engine->aborts.load(), 1);
}

TEST_F(MivrelManagerTest, StopTimesOutWhenTheRequestNeverEnds) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    MivrelClaim claim = MivrelClaim::acquire(a, ClaimKind::kRun);
    claim.ensureEngine();
    auto* engine = dynamic_cast<FakeEngine*>(a->engine.get());
    const int64_t start = steadyNowMs();
    EXPECT_FALSE(a->stopGenerationAndWait(200));
    EXPECT_GE(steadyNowMs() - start, 200);
    EXPECT_EQ(a->state.load(), kMivrelStopping);
    EXPECT_TRUE(a->abortRequested.load());
    EXPECT_EQ(engine->aborts.load(), 1);
    // The caller gives up: unload and removal still refuse the instance.
    EXPECT_EQ(unloadUnclaimed(a, false), ClaimResult::kBusy);
    EXPECT_EQ(manager.removeMivrel("a"), ClaimResult::kBusy);
    claim.release();
    EXPECT_EQ(a->state.load(), kMivrelIdle);
}

TEST_F(MivrelManagerTest, StopDuringALoadReachesTheEngineOnceItIsInstalled) {
    ASSERT_TRUE(manager.addMivrel(configFor("a")));
    std::shared_ptr<Mivrel> a = manager.find("a");
    FakeEngine::nextLoadDelayMs = 150;
    MivrelClaim claim = MivrelClaim::acquire(a, ClaimKind::kRun);
    std::atomic<bool> loading{false};
    std::thread request([&] {
        claim.ensureEngine([&] { loading = true; });
        // A generation would run here and notice the abort.
        while (!a->abortRequested.load() || dynamic_cast<FakeEngine*>(a->engine.get())->aborts.load() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        claim.release();
    });
    while (!loading.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(a->stopGenerationAndWait(60000));
    request.join();
    FakeEngine::nextLoadDelayMs = 0;
}

}  // namespace
