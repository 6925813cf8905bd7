// Many threads find, claim, load, unload, stop and remove instances at once.
// The claim must keep one user per instance and one engine per instance, and
// no thread may ever reach a destroyed engine or record (FakeEngine aborts
// the process when a destroyed engine is called; the sanitizer builds catch
// the rest).
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace {

// Engines alive per owning store: more than one means a double load.
class EngineCensus {
public:
    void add(const FileStore* store) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (++count_[store] > 1) doubleLoads_.fetch_add(1);
    }
    void remove(const FileStore* store) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--count_[store] == 0) count_.erase(store);
    }
    int doubleLoads() const { return doubleLoads_.load(); }

private:
    std::mutex mutex_;
    std::map<const FileStore*, int> count_;
    std::atomic<int> doubleLoads_{0};
};

EngineCensus& census() {
    static EngineCensus c;
    return c;
}

class CountedEngine : public FakeEngine {
public:
    void loadModel(const ModelLoadSettings& settings) override {
        owner_ = fileStore;
        census().add(owner_);
        FakeEngine::loadModel(settings);
    }
    ~CountedEngine() override {
        if (owner_) census().remove(owner_);
    }

private:
    const FileStore* owner_ = nullptr;
};

// Every familyType gets a CountedEngine.
MivrelEngineMaker countedEngines() {
    return [](const std::string&) -> std::unique_ptr<MivrelEngine> { return std::make_unique<CountedEngine>(); };
}

MivrelConfig configFor(const std::string& id) {
    MivrelConfig config;
    config.id = id;
    return config;
}

TEST(MivrelConcurrencyTest, ClaimsLoadsUnloadsStopsAndRemovalsRace) {
    FakeEngine::nextLoadDelayMs = 1;
    FakeEngine::nextFailLoad = false;
    const int liveBefore = FakeEngine::live.load();
    TempDir dir;
    MivrelManager manager(countedEngines());
    manager.setDir(dir.path());
    const std::vector<std::string> ids = {"a", "b", "c"};
    for (const std::string& id : ids) ASSERT_TRUE(manager.addMivrel(configFor(id)));

    // Users of each claimed record: more than one at a time is a fault.
    std::mutex holdersMutex;
    std::map<const Mivrel*, int> holders;
    std::atomic<int> overlaps{0};
    std::atomic<int> claimsTaken{0};
    std::atomic<int> removals{0};

    const auto worker = [&](int seed) {
        std::mt19937 rng(static_cast<uint32_t>(seed));
        for (int i = 0; i < 400; ++i) {
            const std::string& id = ids[rng() % ids.size()];
            std::shared_ptr<Mivrel> m = manager.find(id);
            if (!m) {
                manager.addMivrel(configFor(id));
                continue;
            }
            switch (rng() % 6) {
                case 0:
                case 1: {  // a request: claim, load on demand, use, release
                    MivrelClaim claim = MivrelClaim::acquire(m, ClaimKind::kRun);
                    if (!claim) break;
                    ++claimsTaken;
                    {
                        std::lock_guard<std::mutex> lock(holdersMutex);
                        if (++holders[m.get()] > 1) ++overlaps;
                    }
                    try {
                        claim.ensureEngine();
                        MivrelEngine* engine = claim->engine.get();
                        for (int k = 0; k < 3; ++k) {
                            engine->getContextStats();
                            std::this_thread::yield();
                        }
                        if (claim->engine.get() != engine) ++overlaps;  // swapped under the claim
                        claim->generationIndex += 1;
                        claim->lastResponseId = "r" + std::to_string(i);
                    } catch (const MivrelException&) {
                    }
                    {
                        std::lock_guard<std::mutex> lock(holdersMutex);
                        --holders[m.get()];
                    }
                    if (rng() % 4 == 0) {
                        claim.releaseWithUnload(true);
                    } else {
                        claim.release();
                    }
                    break;
                }
                case 2:  // the idle release or an explicit unload
                    unloadUnclaimed(m, rng() % 2 == 0);
                    break;
                case 3:  // a stop request
                    m->stopGenerationAndWait(5);
                    break;
                case 4: {  // an unclaimed user: tokenize, status view
                    std::lock_guard<std::mutex> lock(m->engineMutex);
                    if (m->engine) m->engine->getContextStats();
                    m->releaseStatusJson();
                    break;
                }
                case 5:  // deletion, then registration anew
                    if (manager.removeMivrel(id) == ClaimResult::kOk) {
                        ++removals;
                        manager.addMivrel(configFor(id));
                    }
                    break;
            }
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < 12; ++t) threads.emplace_back(worker, t + 1);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(census().doubleLoads(), 0);
    EXPECT_GT(claimsTaken.load(), 0);
    EXPECT_GT(removals.load(), 0);
    for (const auto& m : manager.snapshotMivrels()) {
        EXPECT_FALSE(m->isInferring());  // nothing stuck in running or stopping
        EXPECT_NE(m->state.load(), kMivrelLoading);
    }
    for (const std::string& id : ids) manager.removeMivrel(id);
    EXPECT_EQ(FakeEngine::live.load(), liveBefore);  // every engine was destroyed
    FakeEngine::nextLoadDelayMs = 0;
}

TEST(MivrelConcurrencyTest, ManyRequestsLoadOneEngine) {
    FakeEngine::nextLoadDelayMs = 20;
    FakeEngine::nextFailLoad = false;
    auto m = std::make_shared<Mivrel>();
    m->engineMaker = countedEngines();
    const int loadsBefore = FakeEngine::loads.load();
    // Unclaimed users and one claim holder all race to install the engine.
    std::atomic<int> loadedNow{0};
    std::vector<std::thread> threads;
    MivrelClaim claim = MivrelClaim::acquire(m, ClaimKind::kLoad);
    ASSERT_TRUE(claim);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            if (m->ensureEngine()) ++loadedNow;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(loadedNow.load(), 1);
    EXPECT_EQ(FakeEngine::loads.load() - loadsBefore, 1);
    EXPECT_EQ(census().doubleLoads(), 0);
    claim.releaseWithUnload(true);
    FakeEngine::nextLoadDelayMs = 0;
}

}  // namespace
