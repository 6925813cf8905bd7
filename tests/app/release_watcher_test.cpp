// The release watcher: one pass at a chosen time (last activity back-dated,
// no waiting), which instances it releases and which it leaves alone, the log
// line and event, and passes running against concurrent requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "app/release_watcher.h"
#include "base/captured_log.h"
#include "base/text_util.h"
#include "config/event_manager.h"
#include "engine/engine_factory.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"
#include "support/temp_dir.h"

namespace {

using nlohmann::json;

// An engine that ends the process when it is used after its destruction.
class WatchedEngine : public MivrelEngine {
public:
    static std::atomic<int> live;
    WatchedEngine() { ++live; }
    ~WatchedEngine() override {
        destroyed.store(true);
        --live;
    }
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings&) override {}
    void abortGeneration() override {}
    ModelInfo getModelInfo() override { return ModelInfo(); }
    ContextStats getContextStats() override {
        if (destroyed.load()) std::abort();
        return ContextStats();
    }
    std::atomic<bool> destroyed{false};
};
std::atomic<int> WatchedEngine::live{0};

constexpr int64_t kMinute = 60000;

class ReleaseWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        services.mivrels = std::make_unique<MivrelManager>(
            [](const std::string&) -> std::unique_ptr<MivrelEngine> { return std::make_unique<WatchedEngine>(); });
        services.mivrels->setDir(home.file("mivrel"));
        services.events = std::make_unique<EventManager>(home.file("events.jsonl"), kEventLogCapacity);
    }
    void TearDown() override {
        services.events.reset();
        services.mivrels.reset();
    }

    // A loaded, idle instance whose settings hold `policy` ("" for none).
    std::shared_ptr<Mivrel> loaded(const std::string& id, const std::string& policy, const std::string& family = "LLM") {
        MivrelConfig config;
        config.id = id;
        config.familyType = family;
        if (!policy.empty()) config.loadSettings.params = {{"release_policy", policy}};
        EXPECT_TRUE(services.mivrels->addMivrel(std::move(config)));
        std::shared_ptr<Mivrel> mivrel = services.mivrels->find(id);
        EXPECT_TRUE(mivrel->ensureEngine());
        return mivrel;
    }

    TempDir home;
    ServiceContext services;
};

TEST_F(ReleaseWatcherTest, ReleasesOnlyIdleInstancesPastTheirMinutes) {
    const int64_t now = nowMs();
    auto due = loaded("due", "idle:5");
    due->lastActiveAt = now - 5 * kMinute;
    auto early = loaded("early", "idle:5");
    early->lastActiveAt = now - 5 * kMinute + 1000;  // 4 min 59 s
    auto never = loaded("never", "idle:1");
    never->lastActiveAt = 0;
    auto keep = loaded("keep", "keep");
    keep->lastActiveAt = now - 600 * kMinute;
    auto after = loaded("after", "after_generate");
    after->lastActiveAt = now - 600 * kMinute;
    auto running = loaded("running", "idle:1");
    running->lastActiveAt = now - 60 * kMinute;
    running->state = kMivrelRunning;
    auto stopping = loaded("stopping", "idle:1");
    stopping->lastActiveAt = now - 60 * kMinute;
    stopping->state = kMivrelStopping;
    auto loading = loaded("loading", "idle:1");
    loading->lastActiveAt = now - 60 * kMinute;
    loading->state = kMivrelLoading;
    // The media families default to "idle:10".
    auto image = loaded("image", "", "IMAGE");
    image->lastActiveAt = now - 10 * kMinute - 59000;

    CapturedLog log;
    checkIdleRelease(services, now);

    EXPECT_FALSE(due->hasEngine());
    EXPECT_EQ(due->state.load(), kMivrelIdle);
    EXPECT_EQ(due->lastActiveAt.load(), 0);
    EXPECT_FALSE(image->hasEngine());
    for (const auto& kept : {early, never, keep, after, running, stopping, loading}) {
        EXPECT_TRUE(kept->hasEngine()) << kept->config.id;
    }
    EXPECT_EQ(running->state.load(), kMivrelRunning);
    EXPECT_EQ(stopping->state.load(), kMivrelStopping);
    EXPECT_EQ(WatchedEngine::live.load(), 7);

    EXPECT_TRUE(log.contains("[releaseWatcher] due 유휴 5분 → 모델 해제 (release_policy=idle:5)\n"));
    EXPECT_TRUE(log.contains("[releaseWatcher] image 유휴 10분 → 모델 해제 (release_policy=idle:10)\n"))
        << "whole minutes, rounded down";
    const std::vector<EventRecord> events = services.events->recent(0);
    ASSERT_EQ(events.size(), 2u);
    // Snapshot order is id order: "due" first, so it is the older event.
    EXPECT_EQ(events[1].actor, "due");
    EXPECT_EQ(events[1].level, "info");
    EXPECT_EQ(events[1].category, "mivrel");
    EXPECT_EQ(events[1].text, "Mivrel unloaded");
    EXPECT_EQ(events[1].detail, "release_policy=idle:5");
    EXPECT_EQ(events[0].actor, "image");

    // A later pass releases the early one once its time has come.
    checkIdleRelease(services, now + 1000);
    EXPECT_FALSE(early->hasEngine());
    checkIdleRelease(services, now + 1000);
    EXPECT_EQ(services.events->recent(0).size(), 3u) << "an unloaded instance is not released twice";
}

TEST_F(ReleaseWatcherTest, ReleaseEmptiesAMarkedStore) {
    auto marked = loaded("marked", "idle:1");
    marked->fileStore.exchangeTruncateOnUnload(true);
    const StorageKey key = marked->fileStore.open("", true);
    ASSERT_TRUE(key.valid);
    marked->fileStore.saveGeneratedFile("x", "txt", std::string_view("data"), key);
    ASSERT_EQ(marked->fileStore.list().size(), 1u);
    marked->lastActiveAt = nowMs() - 2 * kMinute;
    checkIdleRelease(services, nowMs());
    EXPECT_FALSE(marked->hasEngine());
    EXPECT_FALSE(std::filesystem::exists(marked->fileStore.path()));
}

TEST_F(ReleaseWatcherTest, WithoutManagerNothingHappens) {
    services.mivrels.reset();
    EXPECT_NO_THROW(checkIdleRelease(services));
}

// Requests claim, use and let go of the instance, reloading it when needed,
// while passes run with the last activity always back-dated. No request may
// ever meet an engine being destroyed, and every release must be one the
// watcher was entitled to.
TEST_F(ReleaseWatcherTest, PassesRaceRequestsSafely) {
    auto mivrel = loaded("busy", "idle:1");
    std::atomic<bool> done{false};
    std::atomic<int> uses{0};
    std::vector<std::thread> requests;
    for (int t = 0; t < 3; ++t) {
        requests.emplace_back([&] {
            while (!done.load()) {
                MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
                if (!claim) continue;
                claim.ensureEngine();
                claim->engine->getContextStats();
                ++uses;
                // Let go as an old activity, so the watcher may take it.
                claim.release();
                mivrel->lastActiveAt = nowMs() - 10 * kMinute;
                std::this_thread::yield();
            }
        });
    }
    // Until the watcher has won the race often enough; the bound only keeps
    // a broken build from hanging.
    for (int passes = 0; passes < 2000000; ++passes) {
        if (passes % 64 == 0 && uses.load() >= 2000 && services.events->recent(20).size() >= 20) break;
        checkIdleRelease(services, nowMs());
        std::this_thread::yield();
    }
    done = true;
    for (std::thread& thread : requests) thread.join();
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    EXPECT_LE(WatchedEngine::live.load(), 1);
    EXPECT_GE(uses.load(), 2000);
    EXPECT_GE(services.events->recent(0).size(), 20u) << "the watcher did release in between";
}

TEST_F(ReleaseWatcherTest, ThreadRunsPassesAndStops) {
    auto due = loaded("due", "idle:1");
    due->lastActiveAt = nowMs() - 2 * kMinute;
    ReleaseWatcher watcher(services);
    watcher.start(20);
    for (int i = 0; i < 500 && due->hasEngine(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(due->hasEngine());
    watcher.stop();
    watcher.stop();  // a second stop does nothing

    // A stopped watcher runs no pass any more: an instance that falls due
    // now keeps its model through many of the old periods.
    auto later = loaded("later", "idle:1");
    later->lastActiveAt = nowMs() - 2 * kMinute;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(later->hasEngine()) << "a pass ran after stop()";

    // stop() wakes a thread that waits for its next pass: with a period of a
    // day, a stop that only waited would not come back.
    auto* slow = new ReleaseWatcher(services);
    slow->start(24LL * 60 * kMinute);
    auto stopped = std::make_shared<std::promise<void>>();
    std::future<void> done = stopped->get_future();
    std::thread stopper([stopped, slow] {
        slow->stop();
        stopped->set_value();
    });
    if (done.wait_for(std::chrono::seconds(60)) == std::future_status::ready) {
        stopper.join();
        delete slow;
    } else {
        ADD_FAILURE() << "stop() did not wake the waiting thread";
        stopper.detach();  // the watcher is left to it
    }
}

}  // namespace
