// Sampling values, the sampler chain they build, and the bounds of the
// options a request may set.
#include <gtest/gtest.h>

#include "engine/mivrel_exception.h"
#include "llm_test_util.h"

namespace {

using namespace llmtest;
using namespace testmodels;

std::vector<std::string> chainNames(const MivrelLLMEngine& engine) {
    std::vector<std::string> names;
    llama_sampler* chain = engine.samplerChain();
    if (!chain) return names;
    for (int i = 0; i < llama_sampler_chain_n(chain); ++i) {
        names.push_back(llama_sampler_name(llama_sampler_chain_get(chain, i)));
    }
    return names;
}

TEST(LlmSamplingTest, DefaultsComeFromTheInstanceAndBuildTheChain) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    EXPECT_EQ(engine.samplerChain(), nullptr);
    const nlohmann::json fresh = engine.getSamplingOptions();
    EXPECT_EQ(fresh["max_tokens"], 256);

    engine.loadModel(kitLoadSettings(kTinyChatFile));
    engine.initContext(kitContextSettings());
    const nlohmann::json expected = {{"temperature", 0.8}, {"top_p", 0.95}, {"min_p", 0.0},
                                     {"repeat_penalty", 1.1}, {"top_k", 30}, {"seed", -1}, {"max_tokens", 128}};
    EXPECT_EQ(engine.getSamplingOptions(), expected);
    EXPECT_EQ(engine.getSamplingOptions().dump(),
              "{\"max_tokens\":128,\"min_p\":0.0,\"repeat_penalty\":1.1,\"seed\":-1,\"temperature\":0.8,"
              "\"top_k\":30,\"top_p\":0.95}");
    EXPECT_EQ(chainNames(engine), (std::vector<std::string>{"penalties", "top-k", "top-p", "temp", "dist"}));

    // Steps switch off at their neutral values; min-p joins when set.
    engine.setSamplingOptions({{"top_k", 0}, {"top_p", 1.0}, {"repeat_penalty", 1.0}, {"min_p", 0.05}});
    EXPECT_EQ(chainNames(engine), (std::vector<std::string>{"min-p", "temp", "dist"}));
}

TEST(LlmSamplingTest, MinPComesFromTheInstanceThenTheModel) {
    quietLlamaLogs();
    struct Case {
        nlohmann::json params;
        nlohmann::json props;
        double minP;
    };
    const Case cases[] = {
        {{{"min_p", 0.1}}, {{"genDefaults", {{"min_p", 0.2}}}}, 0.1},
        {{{"min_p", "0.1"}}, {{"genDefaults", {{"min_p", 0.2}}}}, 0.2},
        {nlohmann::json::object(), {{"genDefaults", {{"min_p", 0.2}}}}, 0.2},
        {nlohmann::json::object(), nlohmann::json::object(), 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.dump() + c.props.dump());
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.params = c.params;
        settings.modelProperties = c.props;
        engine.loadModel(settings);
        engine.initContext(kitContextSettings());
        EXPECT_DOUBLE_EQ(engine.getSamplingOptions()["min_p"].get<double>(), c.minP);
        engine.setSamplingOptions({{"min_p", 0.5}, {"temperature", 0.3}});
        engine.resetSampler();
        EXPECT_DOUBLE_EQ(engine.getSamplingOptions()["min_p"].get<double>(), c.minP);
        EXPECT_DOUBLE_EQ(engine.getSamplingOptions()["temperature"].get<double>(), 0.8);
    }
}

TEST(LlmSamplingTest, EveryBoundIsCheckedAndAFailureChangesNothing) {
    auto engine = loadedEngine(kTinyChatFile);
    const nlohmann::json before = engine->getSamplingOptions();
    const std::vector<std::string> chainBefore = chainNames(*engine);
    struct Case {
        nlohmann::json options;
        const char* message;
    };
    const Case cases[] = {
        {{{"temperature", 2.5}}, "\"temperature\" must be a number between 0 and 2"},
        {{{"temperature", -0.1}}, "\"temperature\" must be a number between 0 and 2"},
        {{{"temperature", "hot"}}, "\"temperature\" must be a number between 0 and 2"},
        {{{"top_p", 1.01}}, "\"top_p\" must be a number between 0 and 1"},
        {{{"top_k", 40.0}}, "\"top_k\" must be an integer between 0 and 1000000"},
        {{{"top_k", 1000001}}, "\"top_k\" must be an integer between 0 and 1000000"},
        {{{"min_p", 2}}, "\"min_p\" must be a number between 0 and 1"},
        {{{"seed", 4294967295LL}}, "\"seed\" must be an integer between -1 and 4294967294"},
        {{{"seed", -2}}, "\"seed\" must be an integer between -1 and 4294967294"},
        {{{"repeat_penalty", 0.9}}, "\"repeat_penalty\" must be a number between 1 and 2"},
        {{{"max_tokens", 0}}, "\"max_tokens\" must be an integer between 1 and 256"},
        {{{"max_tokens", 257}}, "\"max_tokens\" must be an integer between 1 and 256"},
        {{{"max_tokens", true}}, "\"max_tokens\" must be an integer between 1 and 256"},
        // Temperature passes, top_k fails: nothing is applied.
        {{{"temperature", 0.5}, {"top_k", -1}}, "\"top_k\" must be an integer between 0 and 1000000"},
        {nlohmann::json::array(), "options must be an object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.dump());
        try {
            engine->setSamplingOptions(c.options);
            ADD_FAILURE() << "accepted";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_EQ(e.message, c.message);
        }
        EXPECT_EQ(engine->getSamplingOptions(), before);
        EXPECT_EQ(chainNames(*engine), chainBefore);
    }

    // Null and unknown keys leave values alone; bounds are inclusive.
    engine->setSamplingOptions({{"temperature", nullptr}, {"top_p", 0.9}, {"repeat_last_n", 3}, {"other", 1}});
    nlohmann::json after = before;
    after["top_p"] = 0.9;
    EXPECT_EQ(engine->getSamplingOptions(), after);
    engine->setSamplingOptions({{"seed", 4294967294LL}, {"max_tokens", 256}, {"temperature", 2}, {"top_p", 0}});
    EXPECT_EQ(engine->getSamplingOptions()["seed"], 4294967294LL);
    engine->setSamplingOptions({{"seed", -1}});
    EXPECT_EQ(engine->getSamplingOptions()["seed"], -1);
    EXPECT_EQ(engine->maxTokens(), 256);
}

TEST(LlmSamplingTest, MaxTokensLimitFollowsTheInstanceLimit) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
    settings.params = {{"limits", {{"maxPredict", 100}}}};
    engine.loadModel(settings);
    engine.initContext(kitContextSettings());
    try {
        engine.setSamplingOptions({{"max_tokens", 101}});
        ADD_FAILURE() << "accepted";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.message, "\"max_tokens\" must be an integer between 1 and 100");
    }
    engine.setSamplingOptions({{"max_tokens", 100}});
    EXPECT_EQ(engine.maxTokens(), 100);

    MivrelLLMEngine noContext;
    try {
        noContext.setSamplingOptions(nlohmann::json::object());
        ADD_FAILURE() << "accepted";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::RuntimeFailed);
        EXPECT_EQ(e.message, "context is not initialized");
    }
}

TEST(LlmSamplingTest, ResetContextReloadsDefaultsAndSeedMakesRunsRepeat) {
    auto engine = loadedEngine(kTinyChatFile);
    const std::vector<int32_t> prompt = engine->tokenizeText("Once upon a time", true, true);
    auto run = [&](int64_t seed) {
        engine->resetContext(kitContextSettings());
        engine->setSamplingOptions({{"seed", seed}, {"max_tokens", 24}});
        engine->startGeneration(prompt);
        return joined(pullAll(*engine));
    };
    const std::string first = run(42);
    EXPECT_EQ(run(42), first);
    EXPECT_FALSE(first.empty());

    engine->setSamplingOptions({{"temperature", 0.2}});
    ContextSettings changed = kitContextSettings();
    changed.temperature = 0.5f;
    changed.nPredict = 77;
    changed.nCtx = 64;  // the live context keeps its size
    engine->resetContext(changed);
    EXPECT_DOUBLE_EQ(engine->getSamplingOptions()["temperature"].get<double>(), 0.5);
    EXPECT_EQ(engine->maxTokens(), 77);
    EXPECT_EQ(engine->nCtx(), 256);
    EXPECT_EQ(engine->contextSettings().nCtx, 256);
}

}  // namespace
