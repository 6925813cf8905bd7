#include <gtest/gtest.h>

#include <sys/stat.h>

#include "engine/mivrel.h"
#include "engine/mivrel_claim.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace {

TEST(MivrelConfigTest, NewRecordsHoldTheDefaults) {
    const MivrelConfig config;
    EXPECT_EQ(config.type, "fake");
    EXPECT_EQ(config.familyType, "LLM");
    EXPECT_EQ(config.id, "");
    EXPECT_EQ(config.modelPath, "");

    const ModelLoadSettings& load = config.loadSettings;
    EXPECT_EQ(load.nGpuLayers, 20);
    EXPECT_EQ(load.placement, "auto");
    EXPECT_EQ(load.assembler, "default");
    EXPECT_EQ(load.thinkOpen, "<think>");
    EXPECT_EQ(load.thinkClose, "</think>");
    EXPECT_EQ(load.toolCallOpen, "<tool_call>");
    EXPECT_EQ(load.toolCallClose, "</tool_call>");
    EXPECT_EQ(load.modelProperties, nlohmann::json::object());
    EXPECT_EQ(load.params, nlohmann::json::object());

    const ContextSettings& ctx = config.contextSettings;
    EXPECT_EQ(ctx.nCtx, 4096);
    EXPECT_EQ(ctx.nBatch, 1024);
    EXPECT_EQ(ctx.nUbatch, 512);
    EXPECT_EQ(ctx.nPredict, 8192);
    EXPECT_TRUE(ctx.offloadKv);
    EXPECT_EQ(ctx.flashAttn, "");
    EXPECT_EQ(ctx.cacheTypeK, "f16");
    EXPECT_EQ(ctx.cacheTypeV, "f16");
    EXPECT_EQ(ctx.nThreads, 0);
    EXPECT_EQ(ctx.nThreadsBatch, 0);
    EXPECT_FLOAT_EQ(ctx.temperature, 0.8f);
    EXPECT_EQ(ctx.topK, 30);
    EXPECT_FLOAT_EQ(ctx.topP, 0.95f);
    EXPECT_EQ(ctx.minKeep, 1);
    EXPECT_EQ(ctx.seed, -1);
    EXPECT_FLOAT_EQ(ctx.repeatPenalty, 1.1f);
    EXPECT_EQ(ctx.repeatLastN, 64);
}

TEST(MivrelTest, NewInstanceIsIdleWithoutEngine) {
    Mivrel m;
    EXPECT_EQ(m.state.load(), kMivrelIdle);
    EXPECT_FALSE(m.hasEngine());
    EXPECT_EQ(m.engine, nullptr);
    EXPECT_EQ(m.lastToolCalls, nlohmann::json::array());
    EXPECT_FALSE(m.abortRequested.load());
    EXPECT_EQ(m.loadedAt.load(), 0);
}

TEST(MivrelTest, IsInferringOnlyWhileRunningOrStopping) {
    Mivrel m;
    const std::pair<int, bool> cases[] = {
        {kMivrelLoading, false}, {kMivrelIdle, false}, {kMivrelRunning, true}, {kMivrelStopping, true}};
    for (const auto& [state, inferring] : cases) {
        m.state = state;
        EXPECT_EQ(m.isInferring(), inferring) << state;
    }
}

TEST(MivrelTest, IsDecisionComparesExactly) {
    Mivrel m;
    for (const auto& [family, expected] :
         std::vector<std::pair<std::string, bool>>{{"DECISION", true}, {"decision", false}, {"LLM", false}}) {
        m.config.familyType = family;
        EXPECT_EQ(m.isDecision(), expected) << family;
    }
}

TEST(MivrelTest, CreateEngineRefusesALocalConfigurationWithoutModelFiles) {
    FakeEngineMaker maker;
    const int before = FakeEngine::loads.load();
    Mivrel m;
    m.engineMaker = maker.make();
    m.config.type = "local";
    try {
        m.createEngine();
        FAIL() << "no exception";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, "model not found: cannot find the model files in the model folder");
    }
    EXPECT_EQ(FakeEngine::loads.load(), before);  // no engine was made
    EXPECT_FALSE(m.hasEngine());
}

TEST(MivrelTest, CreateEngineOfAFakeConfigurationReachesTheFactory) {
    {
        FakeEngineMaker maker;
        const int before = FakeEngine::loads.load();
        Mivrel m;  // type "fake", no model files
        m.engineMaker = maker.make();
        EXPECT_NE(m.createEngine(), nullptr);
        EXPECT_EQ(FakeEngine::loads.load(), before + 1);
    }
    Mivrel m;
    m.config.familyType = "TEXT";
    try {
        m.createEngine();
        FAIL() << "no exception";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
        EXPECT_EQ(e.message, "unsupported model familyType: TEXT");
    }
}

TEST(MivrelTest, CreateEngineAttachesTheStoreLoadsAndMakesTheContext) {
    FakeEngineMaker maker;
    Mivrel m;
    m.engineMaker = maker.make();
    m.config.type = "local";
    m.config.loadSettings.modelPath = "/models/x/model.gguf";
    m.config.contextSettings.nCtx = 1234;
    std::unique_ptr<MivrelEngine> engine = m.createEngine();
    auto* fake = dynamic_cast<FakeEngine*>(engine.get());
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake->fileStore, &m.fileStore);
    EXPECT_EQ(fake->loadedPath, "/models/x/model.gguf");
    EXPECT_EQ(fake->contextSize, 1234);
    EXPECT_FALSE(m.hasEngine());  // made, not installed
}

TEST(MivrelTest, FailedLoadLeavesNoEngineBehind) {
    FakeEngineMaker maker;
    FakeEngine::nextFailLoad = true;
    const int live = FakeEngine::live.load();
    auto m = std::make_shared<Mivrel>();
    m->engineMaker = maker.make();
    MivrelClaim claim = MivrelClaim::acquire(m, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    EXPECT_THROW(claim.ensureEngine(), MivrelException);
    EXPECT_FALSE(m->hasEngine());
    EXPECT_EQ(FakeEngine::live.load(), live);
    EXPECT_EQ(m->state.load(), kMivrelRunning);  // the claim is still held
    claim.release();
    EXPECT_EQ(m->state.load(), kMivrelIdle);
}

TEST(MivrelTest, UnloadResetsTheRunStateButKeepsLifetimeCounters) {
    FakeEngineMaker maker;
    auto m = std::make_shared<Mivrel>();
    m->engineMaker = maker.make();
    MivrelClaim claim = MivrelClaim::acquire(m, ClaimKind::kRun);
    ASSERT_TRUE(claim.ensureEngine());
    EXPECT_GT(m->loadedAt.load(), 0);
    m->inputTokens = 5;
    m->totalOutputTokens = 50;
    m->currentOutputTokens = 3;
    m->lastOutputTokens = 4;
    m->sessionOutputTokens = 7;
    m->lifetimeOutputTokens = 99;
    m->lastTokensPerSec = 12.5;
    m->abortRequested = true;
    m->lastResponseId = "r1";
    m->openResponseId = "r1";
    m->openPhase = "thinking";
    m->declaredTools = "[]";
    m->pendingToolCall = "<tool_call>";
    m->lastEndKind = "tool_call";
    m->lastToolCalls = nlohmann::json::array({{{"id", "c1"}, {"raw", "x"}}});
    m->generationIndex = 4;
    m->conversationId = "conv";
    claim.releaseWithUnload(true);

    EXPECT_FALSE(m->hasEngine());
    EXPECT_EQ(m->engine, nullptr);
    EXPECT_EQ(m->state.load(), kMivrelIdle);
    EXPECT_EQ(m->loadedAt.load(), 0);
    EXPECT_EQ(m->lastActiveAt.load(), 0);
    EXPECT_EQ(m->inputTokens.load(), 0);
    EXPECT_EQ(m->totalOutputTokens.load(), 0);
    EXPECT_EQ(m->currentOutputTokens.load(), 0);
    EXPECT_EQ(m->lastOutputTokens.load(), 0);
    EXPECT_EQ(m->sessionOutputTokens.load(), 0);
    EXPECT_FALSE(m->abortRequested.load());
    EXPECT_EQ(m->lastResponseId, "");
    EXPECT_EQ(m->openResponseId, "");
    EXPECT_EQ(m->openPhase, "");
    EXPECT_EQ(m->declaredTools, "");
    EXPECT_EQ(m->pendingToolCall, "");
    EXPECT_EQ(m->lastEndKind, "");
    EXPECT_EQ(m->lastToolCalls, nlohmann::json::array());
    EXPECT_EQ(m->generationIndex, 0);
    EXPECT_EQ(m->conversationId, "");
    EXPECT_EQ(m->lifetimeOutputTokens.load(), 99);
    EXPECT_DOUBLE_EQ(m->lastTokensPerSec, 12.5);
}

// A store with one file in it, flagged for truncation on unload or not.
struct StoreFixture {
    TempDir dir;
    std::shared_ptr<Mivrel> mivrel = std::make_shared<Mivrel>();

    explicit StoreFixture(bool truncateFlag) {
        mivrel->fileStore.configure(dir.file("storage.kvx"), false);
        StorageKey key = mivrel->fileStore.open("", true);
        mivrel->fileStore.saveGeneratedFile("f", "txt", std::string_view("hello"), key);
        mivrel->fileStore.exchangeTruncateOnUnload(truncateFlag);
    }
    bool storeFileExists() const {
        struct stat st {};
        return ::stat(dir.file("storage.kvx").c_str(), &st) == 0;
    }
};

TEST(MivrelTest, UnloadEmptiesAFlaggedStoreOnlyWhenNotKeepingIt) {
    struct Case {
        bool flag;
        bool keepStore;
        bool survives;
    };
    for (const Case c : {Case{true, false, false}, Case{true, true, true}, Case{false, false, true}}) {
        SCOPED_TRACE(testing::Message() << "flag=" << c.flag << " keep=" << c.keepStore);
        StoreFixture fixture(c.flag);
        ASSERT_TRUE(fixture.storeFileExists());
        fixture.mivrel->unload(c.keepStore);
        EXPECT_EQ(fixture.storeFileExists(), c.survives);
    }
}

TEST(MivrelTest, TruncateStorageIfEnabledFollowsTheFlag) {
    StoreFixture off(false);
    EXPECT_FALSE(off.mivrel->truncateStorageIfEnabled());
    EXPECT_TRUE(off.storeFileExists());
    StoreFixture on(true);
    EXPECT_TRUE(on.mivrel->truncateStorageIfEnabled());
    EXPECT_FALSE(on.storeFileExists());
}

}  // namespace
