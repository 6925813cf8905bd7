#include <gtest/gtest.h>

#include "engine/mivrel.h"
#include "engine/mivrel_params.h"
#include "engine_test_util.h"

namespace {

using nlohmann::json;

struct Resolved {
    ModelLoadSettings load;
    ContextSettings context;
    std::string log;
};

Resolved resolve(const json& params, const json& model = json::object()) {
    Resolved r;
    LogCapture capture;
    mivrelParams(params, model, r.load, r.context);
    r.log = capture.text();
    return r;
}

TEST(ClampContextSizeTest, RaisesToMinimumThenLowersToTheModelBound) {
    struct Case {
        int requested;
        json model;
        int expected;
    };
    const Case cases[] = {
        {100, json::object(), 512},
        {8192, {{"n_ctx_size", 4096}}, 4096},
        {100, {{"n_ctx_size", 256}}, 256},
        {2048, {{"n_ctx_size", 4096}}, 2048},
        {8192, {{"n_ctx_size", 0}}, 8192},
        {8192, {{"n_ctx_size", -5}}, 8192},
        {8192, {{"n_ctx_size", 4096.5}}, 8192},
        {8192, {{"n_ctx_size", "4096"}}, 8192},
        {8192, json::array(), 8192},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(clampContextSize(c.requested, c.model), c.expected) << c.requested << " " << c.model.dump();
    }
}

TEST(MivrelParamsTest, EmptySettingsGiveTheDefaults) {
    const Resolved r = resolve(json::object());
    EXPECT_EQ(r.load.nGpuLayers, 20);
    EXPECT_EQ(r.load.placement, "auto");
    EXPECT_EQ(r.context.nCtx, 4096);
    EXPECT_EQ(r.context.nBatch, 1024);
    EXPECT_EQ(r.context.nUbatch, 512);
    EXPECT_TRUE(r.context.offloadKv);
    EXPECT_EQ(r.context.flashAttn, "");
    EXPECT_EQ(r.context.cacheTypeK, "f16");
    EXPECT_EQ(r.context.cacheTypeV, "f16");
    EXPECT_EQ(r.context.nPredict, 8192);
    EXPECT_FLOAT_EQ(r.context.temperature, 0.8f);
    EXPECT_EQ(r.context.topK, 30);
    EXPECT_FLOAT_EQ(r.context.topP, 0.95f);
    EXPECT_FLOAT_EQ(r.context.repeatPenalty, 1.1f);
    EXPECT_EQ(r.context.repeatLastN, 64);
    EXPECT_EQ(r.context.seed, -1);
    EXPECT_EQ(r.log, "");
    // Not an object: the same defaults.
    EXPECT_EQ(resolve(json::array()).context.nCtx, 4096);
}

TEST(MivrelParamsTest, LeavesFieldsItDoesNotOwn) {
    ModelLoadSettings load;
    load.modelPath = "/m/model.gguf";
    load.assembler = "qwen3";
    ContextSettings context;
    context.nThreads = 6;
    context.minKeep = 3;
    mivrelParams(json::object(), json::object(), load, context);
    EXPECT_EQ(load.modelPath, "/m/model.gguf");
    EXPECT_EQ(load.assembler, "qwen3");
    EXPECT_EQ(context.nThreads, 6);
    EXPECT_EQ(context.minKeep, 3);
}

TEST(MivrelParamsTest, ContextSizeIsClampedWithAWarning) {
    Resolved r = resolve({{"n_ctx", 100}});
    EXPECT_EQ(r.context.nCtx, 512);
    EXPECT_NE(r.log.find("[mivrelParams] n_ctx 100 → 512 (모델 n_ctx_size / 최소값 512 에 맞춤)"), std::string::npos)
        << r.log;
    r = resolve({{"n_ctx", 8192}}, {{"n_ctx_size", 4096}});
    EXPECT_EQ(r.context.nCtx, 4096);
    r = resolve({{"n_ctx", 2048}}, {{"n_ctx_size", 4096}});
    EXPECT_EQ(r.context.nCtx, 2048);
    EXPECT_EQ(r.log, "");
}

TEST(MivrelParamsTest, IntegerSettingsConvertNumbersAndBools) {
    const Resolved r = resolve({{"n_gpu_layers", 33.9}, {"n_batch", true}, {"n_ubatch", 256u}, {"n_ctx", 1e12}});
    EXPECT_EQ(r.load.nGpuLayers, 33);
    EXPECT_EQ(r.context.nBatch, 1);
    EXPECT_EQ(r.context.nUbatch, 256);
    EXPECT_EQ(r.context.nCtx, 2147483647);  // clamped, not undefined
}

TEST(MivrelParamsTest, NonNumericIntegerSettingsThrowTheLibraryTypeError) {
    for (const char* key : {"n_gpu_layers", "n_ctx", "n_batch", "n_ubatch"}) {
        for (const json& bad : {json("8"), json(nullptr), json::array()}) {
            SCOPED_TRACE(std::string(key) + "=" + bad.dump());
            ModelLoadSettings load;
            ContextSettings context;
            try {
                mivrelParams({{key, bad}}, json::object(), load, context);
                FAIL() << "no exception";
            } catch (const json::type_error& e) {
                EXPECT_NE(std::string(e.what()).find("type must be number, but is "), std::string::npos);
            }
        }
    }
}

TEST(MivrelParamsTest, CpuPlacementForcesZeroLayersAndNoKvOffload) {
    Resolved r = resolve({{"placement", " CPU "}, {"n_gpu_layers", 33}, {"offload_kv", true}});
    EXPECT_EQ(r.load.placement, "cpu");
    EXPECT_EQ(r.load.nGpuLayers, 0);
    EXPECT_FALSE(r.context.offloadKv);
    EXPECT_NE(r.log.find("[mivrelParams] placement=cpu → n_gpu_layers 33 무시 (0)"), std::string::npos);
    r = resolve(json::object(), {{"loadDefaults", {{"placement", "gpu1"}}}});
    EXPECT_EQ(r.load.placement, "gpu1");
    EXPECT_EQ(r.load.nGpuLayers, 20);
}

struct WarningCase {
    json params;
    const char* warning;  // the part of the level-2 line that names the setting
};

TEST(MivrelParamsTest, BadOptionalValuesFallBackWithAWarning) {
    const WarningCase cases[] = {
        {{{"offload_kv", "yes"}}, "[mivrelParams] offload_kv 가 bool 이 아님 → true"},
        {{{"offload_kv", nullptr}}, "[mivrelParams] offload_kv 가 bool 이 아님 → true"},
        {{{"flash_attn", "ON"}}, "[mivrelParams] flash_attn 값이 잘못됨(\"ON\") → 엔진 기본값"},
        {{{"flash_attn", 1}}, "[mivrelParams] flash_attn 값이 잘못됨(1) → 엔진 기본값"},
        {{{"cache_type_k", "q8"}}, "[mivrelParams] cache_type_k 값이 잘못됨(\"q8\") → f16"},
        {{{"cache_type_v", 8}}, "[mivrelParams] cache_type_v 값이 잘못됨(8) → f16"},
        {{{"seed", "42"}}, "[mivrelParams] seed 값이 잘못됨(\"42\") → -1(무작위)"},
        {{{"seed", 4294967295u}}, "[mivrelParams] seed 값이 잘못됨(4294967295) → -1(무작위)"},
        {{{"seed", -2}}, "[mivrelParams] seed 값이 잘못됨(-2) → -1(무작위)"},
        {{{"seed", 1.5}}, "[mivrelParams] seed 값이 잘못됨(1.5) → -1(무작위)"},
    };
    for (const WarningCase& c : cases) {
        SCOPED_TRACE(c.params.dump());
        const Resolved r = resolve(c.params);
        EXPECT_NE(r.log.find(c.warning), std::string::npos) << r.log;
        EXPECT_TRUE(r.context.offloadKv);
        EXPECT_EQ(r.context.flashAttn, "");
        EXPECT_EQ(r.context.cacheTypeK, "f16");
        EXPECT_EQ(r.context.cacheTypeV, "f16");
        EXPECT_EQ(r.context.seed, -1);
    }
}

TEST(MivrelParamsTest, GoodOptionalValuesAreTaken) {
    const Resolved r = resolve({{"offload_kv", false},
                                {"flash_attn", true},
                                {"cache_type_k", "q4_0"},
                                {"cache_type_v", "iq4_nl"},
                                {"seed", 4294967294u}});
    EXPECT_FALSE(r.context.offloadKv);
    EXPECT_EQ(r.context.flashAttn, "on");
    EXPECT_EQ(r.context.cacheTypeK, "q4_0");
    EXPECT_EQ(r.context.cacheTypeV, "iq4_nl");
    EXPECT_EQ(r.context.seed, 4294967294LL);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(resolve({{"flash_attn", false}}).context.flashAttn, "off");
    EXPECT_EQ(resolve({{"flash_attn", "auto"}}).context.flashAttn, "auto");
    EXPECT_EQ(resolve({{"flash_attn", nullptr}}).context.flashAttn, "");
    EXPECT_EQ(resolve({{"seed", 0}}).context.seed, 0);
    EXPECT_EQ(resolve({{"seed", -1}}).context.seed, -1);
}

TEST(MivrelParamsTest, QuantizedVCacheTurnsFlashAttentionOffIntoAuto) {
    const Resolved r = resolve({{"cache_type_v", "q8_0"}, {"flash_attn", "off"}});
    EXPECT_EQ(r.context.cacheTypeV, "q8_0");
    EXPECT_EQ(r.context.flashAttn, "auto");
    EXPECT_NE(r.log.find("[mivrelParams] cache_type_v=q8_0 는 flash attention 이 필요 → flash_attn off → auto"),
              std::string::npos);
    EXPECT_EQ(resolve({{"cache_type_v", "bf16"}, {"flash_attn", "off"}}).context.flashAttn, "off");
}

TEST(MivrelParamsTest, GenerationValuesComeFromInstanceThenModelThenDefault) {
    const json model = {{"genDefaults", {{"temperature", 0.3}, {"top_k", 12.7}, {"n_predict", "x"}}}};
    Resolved r = resolve({{"temperature", "hot"}, {"top_p", 0.5}, {"repeat_last_n", 99.9}}, model);
    EXPECT_FLOAT_EQ(r.context.temperature, 0.3f);  // text ignored, model's value, no warning
    EXPECT_EQ(r.context.topK, 12);
    EXPECT_FLOAT_EQ(r.context.topP, 0.5f);
    EXPECT_EQ(r.context.repeatLastN, 99);
    EXPECT_EQ(r.context.nPredict, 8192);  // the model's text is ignored too
    EXPECT_EQ(r.log, "");
    r = resolve({{"temperature", "hot"}});
    EXPECT_FLOAT_EQ(r.context.temperature, 0.8f);
    r = resolve({{"n_predict", 100}, {"repeat_penalty", 1.3}}, model);
    EXPECT_EQ(r.context.nPredict, 100);
    EXPECT_FLOAT_EQ(r.context.repeatPenalty, 1.3f);
}

struct ValidateCase {
    json request;
    const char* message;  // null: accepted
};

TEST(ValidateMivrelParamsTest, ChecksInOrderWithReadyMessages) {
    const char* cacheMessage = "must be one of f32, f16, bf16, q8_0, q4_0, q4_1, iq4_nl, q5_0, q5_1";
    const std::string cacheK = std::string("\"cache_type_k\" ") + cacheMessage;
    const std::string cacheV = std::string("\"cache_type_v\" ") + cacheMessage;
    const ValidateCase cases[] = {
        {json::object(), nullptr},
        {json::array(), nullptr},
        {"text", nullptr},
        {{{"n_ctx", 512}}, nullptr},
        {{{"n_ctx", nullptr}, {"seed", nullptr}, {"offload_kv", nullptr}}, nullptr},
        {{{"n_ctx", 511}}, "\"n_ctx\" must be an integer >= 512"},
        {{{"n_ctx", 4096.0}}, "\"n_ctx\" must be an integer >= 512"},
        {{{"n_ctx", "4096"}}, "\"n_ctx\" must be an integer >= 512"},
        {{{"n_ctx", 4294967296LL}}, "\"n_ctx\" must be an integer >= 512"},
        {{{"n_gpu_layers", 99}}, nullptr},
        {{{"n_gpu_layers", -1}}, nullptr},
        {{{"n_gpu_layers", "all"}}, "\"n_gpu_layers\" must be an integer >= -1"},
        {{{"n_gpu_layers", 20.5}}, "\"n_gpu_layers\" must be an integer >= -1"},
        {{{"n_gpu_layers", true}}, "\"n_gpu_layers\" must be an integer >= -1"},
        {{{"n_gpu_layers", -2}}, "\"n_gpu_layers\" must be an integer >= -1"},
        {{{"n_batch", "512"}}, "\"n_batch\" must be an integer >= 1"},
        {{{"n_batch", 0}}, "\"n_batch\" must be an integer >= 1"},
        {{{"n_ubatch", 1.5}}, "\"n_ubatch\" must be an integer >= 1"},
        {{{"n_ubatch", 256}, {"n_batch", 2048}}, nullptr},
        {{{"offload_kv", "true"}}, "\"offload_kv\" must be a boolean"},
        {{{"flash_attn", "ON"}}, "\"flash_attn\" must be \"auto\", \"on\" or \"off\""},
        {{{"flash_attn", true}}, nullptr},
        {{{"cache_type_k", "Q8_0"}}, cacheK.c_str()},
        {{{"cache_type_v", 1}}, cacheV.c_str()},
        {{{"cache_type_v", "q8_0"}, {"flash_attn", "off"}},
         "a quantized \"cache_type_v\" requires flash attention (\"flash_attn\" must not be \"off\")"},
        {{{"cache_type_v", "q8_0"}, {"flash_attn", false}},
         "a quantized \"cache_type_v\" requires flash attention (\"flash_attn\" must not be \"off\")"},
        {{{"cache_type_v", "q8_0"}}, nullptr},
        {{{"cache_type_k", "q8_0"}, {"flash_attn", "off"}}, nullptr},
        {{{"seed", 4294967294u}}, nullptr},
        {{{"seed", -1}}, nullptr},
        {{{"seed", 4294967295u}}, "\"seed\" must be an integer between -1 and 4294967294"},
        {{{"seed", "42"}}, "\"seed\" must be an integer between -1 and 4294967294"},
        {{{"seed", 42.0}}, "\"seed\" must be an integer between -1 and 4294967294"},
        // The first failure in check order wins.
        {{{"seed", "x"}, {"n_ctx", 1}}, "\"n_ctx\" must be an integer >= 512"},
        {{{"offload_kv", 1}, {"flash_attn", "x"}}, "\"offload_kv\" must be a boolean"},
    };
    for (const ValidateCase& c : cases) {
        SCOPED_TRACE(c.request.dump());
        std::string message;
        const bool ok = validateMivrelParams(c.request, message);
        if (c.message) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(message, c.message);
        } else {
            EXPECT_TRUE(ok) << message;
        }
    }
}

TEST(ValidateMivrelParamsTest, AcceptedSettingsResolveWithoutThrowing) {
    // Whatever creation accepts must register at start-up.
    const json request = {{"n_gpu_layers", -1}, {"n_batch", 1}, {"n_ubatch", 2147483647}, {"n_ctx", 2147483647}};
    std::string message;
    ASSERT_TRUE(validateMivrelParams(request, message));
    EXPECT_NO_THROW(resolve(request));
}

TEST(GenerationDefaultTest, InstanceThenModelThenNull) {
    ModelLoadSettings load;
    load.params = {{"temperature", 0.5}, {"top_k", nullptr}};
    load.modelProperties = {{"genDefaults", {{"top_k", 20}, {"min_p", nullptr}, {"seed", 7}}}};
    EXPECT_EQ(generationDefault(load, "temperature"), 0.5);
    EXPECT_EQ(generationDefault(load, "top_k"), 20);
    EXPECT_TRUE(generationDefault(load, "min_p").is_null());
    EXPECT_TRUE(generationDefault(load, "missing").is_null());
    EXPECT_EQ(modelGenDefault(load.modelProperties, "seed"), 7);
    EXPECT_TRUE(modelGenDefault(load.modelProperties, "min_p").is_null());
    EXPECT_TRUE(modelGenDefault(json::array(), "seed").is_null());
    EXPECT_TRUE(modelGenDefault({{"genDefaults", 3}}, "seed").is_null());
}

TEST(ResolveThinkBudgetTest, ExplicitThenInstanceThenModelThenDefault) {
    Mivrel m;
    EXPECT_EQ(m.resolveThinkBudget(false, 0), 6000);
    EXPECT_EQ(m.resolveThinkBudget(true, 100000), 32768);
    EXPECT_EQ(m.resolveThinkBudget(true, -5), 0);
    EXPECT_EQ(m.resolveThinkBudget(true, 1234), 1234);
    m.config.loadSettings.modelProperties = {{"genDefaults", {{"think_budget", 2048}}}};
    EXPECT_EQ(m.resolveThinkBudget(false, 0), 2048);
    m.config.loadSettings.params = {{"think_budget", 99999}};
    EXPECT_EQ(m.resolveThinkBudget(false, 0), 32768);
    m.config.loadSettings.params = {{"think_budget", 10.5}};  // not an integer: the model's
    EXPECT_EQ(m.resolveThinkBudget(false, 0), 2048);
    m.config.loadSettings.modelProperties = json::array();
    EXPECT_EQ(m.resolveThinkBudget(false, 0), 6000);
}

TEST(MaxPredictTest, CappedAtTheHardLimitAndTheInstanceLimit) {
    Mivrel m;
    EXPECT_EQ(m.maxPredict(50000), 32768);
    EXPECT_EQ(m.maxPredict(100), 100);
    m.config.loadSettings.params = {{"limits", {{"maxPredict", 2048}}}};
    EXPECT_EQ(m.maxPredict(50000), 2048);
    EXPECT_EQ(m.maxPredict(100), 100);
    m.config.loadSettings.params = {{"limits", {{"maxPredict", 2048.0}}}};
    EXPECT_EQ(m.maxPredict(50000), 32768);
}

}  // namespace
