#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/init_events.h"
#include "api_test_util.h"
#include "base/text_util.h"
#include "engine/mivrel_exception.h"

namespace {

std::vector<std::string> keysOf(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

TEST(InitEventsTest, ModelScopeStartPayloadOfChatFamilies) {
    auto mivrel = makeTestMivrel("m1", "LLM");
    mivrel->config.modelPath = "models/tiny/tiny-chat.gguf";
    mivrel->config.loadSettings.params = {{"modelId", "tiny"}, {"multimodal", false}};
    const auto payload = makeInitStartPayload(*mivrel, "m1", "model", "T");
    EXPECT_EQ(keysOf(payload),
              (std::vector<std::string>{"mivrelId", "scope", "modelId", "model", "familyType", "n_ctx", "placement",
                                        "n_gpu_layers", "offload_kv", "flash_attn", "cache_type_k", "cache_type_v",
                                        "multimodal", "started_at"}));
    EXPECT_EQ(payload["modelId"], "tiny");
    EXPECT_EQ(payload["model"], "tiny-chat.gguf");  // the file name, not the path
    EXPECT_EQ(payload["n_ctx"], 4096);
    EXPECT_EQ(payload["flash_attn"], "default");
    EXPECT_EQ(payload["multimodal"], false);
    EXPECT_EQ(payload["started_at"], "T");

    mivrel->config.modelName = "Tiny Chat";
    mivrel->config.contextSettings.flashAttn = "on";
    const auto named = makeInitStartPayload(*mivrel, "m1", "model", "T");
    EXPECT_EQ(named["model"], "Tiny Chat");
    EXPECT_EQ(named["flash_attn"], "on");

    const auto context = makeInitStartPayload(*mivrel, "m1", "context", "T");
    EXPECT_EQ(keysOf(context), (std::vector<std::string>{"mivrelId", "scope", "n_ctx", "started_at"}));
}

TEST(InitEventsTest, MediaFamiliesReportMergedLoadDefaults) {
    struct Case {
        const char* family;
        nlohmann::json properties;
        nlohmann::json params;
        nlohmann::ordered_json placement, weights;
        bool mmap, flash;
    } cases[] = {
        {"IMAGE", nlohmann::json::object(), nlohmann::json::object(), "auto", "auto", false, false},
        {"VIDEO", nlohmann::json::object(), {{"placement", 7}}, "auto", "auto", false, false},
        {"IMAGE", {{"loadDefaults", {{"placement", "gpu"}, {"weights", {{"unet", "cpu"}}}, {"mmap", true}}}},
         {{"flash_attn", true}}, "gpu", {{"unet", "cpu"}}, true, true},
        // The instance's value wins whatever its type.
        {"IMAGE", {{"loadDefaults", {{"placement", "gpu"}, {"mmap", true}}}}, {{"placement", nullptr}, {"mmap", "yes"}},
         "auto", "auto", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump());
        auto mivrel = makeTestMivrel("p1", c.family);
        mivrel->config.loadSettings.modelProperties = c.properties;
        mivrel->config.loadSettings.params = c.params;
        const auto payload = makeInitStartPayload(*mivrel, "p1", "model", "T");
        EXPECT_EQ(keysOf(payload),
                  (std::vector<std::string>{"mivrelId", "scope", "modelId", "model", "familyType", "placement",
                                            "weights", "mmap", "flash_attn", "multimodal", "started_at"}));
        EXPECT_EQ(payload["placement"], c.placement);
        EXPECT_EQ(payload["weights"], c.weights);
        EXPECT_EQ(payload["mmap"], c.mmap);
        EXPECT_EQ(payload["flash_attn"], c.flash);
    }
}

TEST(InitEventsTest, DonePayloadFollowsFamilyScopeAndEngine) {
    auto llm = makeTestMivrel("m1", "LLM", stubEngines());
    llm->config.contextSettings.nCtx = 256;
    // Without an engine only the times are added.
    EXPECT_EQ(keysOf(makeInitDonePayload(*llm, "m1", "model", nowMs())),
              (std::vector<std::string>{"mivrelId", "scope", "elapsed_ms", "done_at"}));

    ASSERT_TRUE(llm->ensureEngine());
    auto* engine = static_cast<StubEngine*>(llm->engine.get());
    engine->info.nLayer = 6;
    engine->info.layerPlacement = {{0, "CPU"},     {1, "CUDA0"},      {2, "MIXED"},
                                   {3, "UNKNOWN"}, {4, "CPU_Mapped"}, {5, "CPU_REPACK"}};
    engine->vision = true;
    const auto done = makeInitDonePayload(*llm, "m1", "model", nowMs() - 20);
    EXPECT_EQ(keysOf(done), (std::vector<std::string>{"mivrelId", "scope", "n_ctx", "gpu_layers", "n_layer", "vision",
                                                      "elapsed_ms", "done_at"}));
    EXPECT_EQ(done["n_ctx"], 256);  // the engine's context, not the setting
    EXPECT_EQ(done["gpu_layers"], 2);
    EXPECT_EQ(done["n_layer"], 6);
    EXPECT_EQ(done["vision"], true);
    EXPECT_GE(done["elapsed_ms"].get<int64_t>(), 20);

    EXPECT_EQ(keysOf(makeInitDonePayload(*llm, "m1", "context", nowMs())),
              (std::vector<std::string>{"mivrelId", "scope", "n_ctx", "elapsed_ms", "done_at"}));

    auto audio = makeTestMivrel("a1", "AUDIO", stubEngines());
    ASSERT_TRUE(audio->ensureEngine());
    static_cast<StubEngine*>(audio->engine.get())->capabilities = {{"voices", {"alice"}}, {"sample_rate", 24000}};
    const auto speech = makeInitDonePayload(*audio, "a1", "model", nowMs());
    EXPECT_EQ(speech["voices"], nlohmann::ordered_json({"alice"}));
    EXPECT_EQ(speech["voice_clone"], false);
    EXPECT_EQ(speech["sample_rate"], 24000);

    auto image = makeTestMivrel("i1", "IMAGE", stubEngines());
    EXPECT_EQ(makeInitDonePayload(*image, "i1", "model", nowMs())["ref_images"], 0);
    image->config.loadSettings.modelProperties = {{"files", {{"llm_vision", "v.gguf"}}}};
    EXPECT_EQ(makeInitDonePayload(*image, "i1", "model", nowMs())["ref_images"], 4);
    image->config.loadSettings.params = {{"limits", {{"maxRefImages", 2}}}};
    EXPECT_EQ(makeInitDonePayload(*image, "i1", "model", nowMs())["ref_images"], 2);
}

TEST(InitEventsTest, LoadStepStreamsEventsAndReportsFailureWithoutAnEngine) {
    auto mivrel = makeTestMivrel("m1", "LLM", stubEngines());
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);

    TestConnection connection;
    bool stream = true;
    SseTarget target{stream, connection.handler()};
    int onLoadedCalls = 0;
    InitLoadStep step{"m1", &target, [&](Mivrel&) { ++onLoadedCalls; }};
    const InitLoadResult loaded = loadWithInitEvents(claim, step);
    EXPECT_TRUE(loaded.loadedNow);
    EXPECT_FALSE(loaded.failed);
    EXPECT_EQ(onLoadedCalls, 1);
    EXPECT_EQ(loaded.initDone["scope"], "model");
    const std::string& wire = connection.wire();
    const size_t start = wire.find("event: mivrel.init_start\n");
    const size_t done = wire.find("event: mivrel.init_done\n");
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(done, std::string::npos);
    EXPECT_LT(start, done);
    EXPECT_EQ(mivrel->state.load(), kMivrelRunning);  // still claimed
    EXPECT_GT(mivrel->loadedAt.load(), 0);

    // Loaded already: nothing happens.
    const size_t before = wire.size();
    EXPECT_FALSE(loadWithInitEvents(claim, step).loadedNow);
    EXPECT_EQ(connection.wire().size(), before);
    claim.release();

    auto broken = makeTestMivrel("m2", "LLM", [](const std::string&) -> std::unique_ptr<MivrelEngine> {
        throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load model: %s", "broken.gguf");
    });
    MivrelClaim brokenClaim = MivrelClaim::acquire(broken, ClaimKind::kRun);
    const InitLoadResult failed = loadWithInitEvents(brokenClaim, {"m2", nullptr, {}});
    EXPECT_TRUE(failed.failed);
    EXPECT_FALSE(failed.loadedNow);
    EXPECT_EQ(failed.error, "failed to load model: broken.gguf");
    EXPECT_FALSE(broken->hasEngine());
    EXPECT_TRUE(failed.initDone.is_null());
}

}  // namespace
