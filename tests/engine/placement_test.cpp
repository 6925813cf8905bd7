#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "engine/gpu_devices.h"
#include "engine/kv_cache_estimate.h"
#include "engine/kv_cache_type.h"
#include "engine/placement.h"
#include "engine_test_util.h"

namespace {

using nlohmann::json;

const char kDash[] = "\xE2\x80\x94";

TEST(PlacementTest, TrimLowerAndGpuIndex) {
    EXPECT_EQ(trimLower("  GPU1 \t\n"), "gpu1");
    EXPECT_EQ(trimLower(""), "");
    const std::pair<const char*, int> cases[] = {
        {"gpu0", 0}, {"gpu7", 7}, {"gpu007", 7}, {"gpu999", 999}, {"gpu1234", -1}, {"gpu", -1},
        {"gpux", -1}, {"gpu1a", -1}, {"GPU1", -1}, {"cpu1", -1}, {"gpu-1", -1}, {"", -1}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(parseGpuIndex(value), expected) << value;
}

struct SettingCase {
    json settings;
    const char* family;
    const char* error;  // null: valid
};

TEST(PlacementTest, ValidatePlacementSettingsMessages) {
    const std::string llmAllowed = "auto, gpu, gpuN, cpu";
    const std::string weightsAllowed = "auto, gpu, gpuN, ram, disk";
    const std::string split = std::string("\"placement\": multi-GPU split (\"gpu0,gpu1\") is not supported yet ") +
                              kDash + " use one of " + llmAllowed;
    const std::string weightsSplit = std::string("\"weights.vae\": multi-GPU split (\"gpu0, gpu1\") is not supported yet ") +
                                     kDash + " use one of " + weightsAllowed;
    const SettingCase cases[] = {
        {{{"placement", " GPU1 "}}, "LLM", nullptr},
        {{{"placement", "cpu"}}, "LLM", nullptr},
        {{{"placement", "auto"}}, "DECISION", nullptr},
        {{{"placement", "gpu"}}, "AUDIO", nullptr},
        {{{"placement", "gpu007"}}, "LLM", nullptr},
        {{{"placement", {{"*", "gpu0"}}}}, "LLM", nullptr},
        {{{"placement", {{"*", nullptr}}}}, "LLM", nullptr},
        {{{"placement", nullptr}, {"weights", nullptr}}, "LLM", nullptr},
        {json::array(), "LLM", nullptr},
        {{{"placement", "gpu0,gpu1"}}, "LLM", split.c_str()},
        {{{"placement", "ram"}}, "LLM", "invalid \"placement\": \"ram\" (use auto, gpu, gpuN, cpu)"},
        {{{"placement", "gpu1234"}}, "LLM", "invalid \"placement\": \"gpu1234\" (use auto, gpu, gpuN, cpu)"},
        {{{"placement", "gpux"}}, "LLM", "invalid \"placement\": \"gpux\" (use auto, gpu, gpuN, cpu)"},
        {{{"placement", ""}}, "LLM", "invalid \"placement\": \"\" (use auto, gpu, gpuN, cpu)"},
        {{{"placement", 1}}, "LLM", "\"placement\" must be a string or an object"},
        {{{"placement", {{"*", 1}}}}, "LLM", "\"placement.*\" must be a string (auto, gpu, gpuN, cpu)"},
        {{{"placement", {{"vae", "gpu0"}}}}, "LLM", "unknown module in \"placement\": \"vae\" (use \"*\" only for LLM)"},
        {{{"placement", {{"vae", "cpu"}}}}, "IMAGE", nullptr},
        {{{"placement", {{"unet", "gpu"}}}}, "IMAGE",
         "unknown module in \"placement\": \"unet\" (use *, diffusion, te, vae, clip_vision)"},
        {{{"weights", {{"vae", "ram"}}}}, "IMAGE", nullptr},
        {{{"weights", "disk"}}, "VIDEO", nullptr},
        {{{"weights", {{"vae", "ram"}}}}, "LLM",
         "\"weights\" is only for IMAGE / VIDEO mivrels (LLM uses n_gpu_layers / offload_kv)"},
        {{{"weights", "auto"}}, "image",
         "\"weights\" is only for IMAGE / VIDEO mivrels (LLM uses n_gpu_layers / offload_kv)"},
        {{{"weights", "cpu"}}, "IMAGE", "invalid \"weights\": \"cpu\" (use auto, gpu, gpuN, ram, disk)"},
        {{{"weights", {{"vae", "gpu0, gpu1"}}}}, "IMAGE", weightsSplit.c_str()},
        {{{"weights", {{"unet", "ram"}}}}, "IMAGE",
         "unknown module in \"weights\": \"unet\" (use *, diffusion, te, vae, clip_vision)"},
        {{{"weights", true}}, "IMAGE", "\"weights\" must be a string or an object"},
        {{{"weights", {{"te", 5}}}}, "VIDEO", "\"weights.te\" must be a string (auto, gpu, gpuN, ram, disk)"},
        // The first failure ends the check: placement before weights.
        {{{"placement", "x"}, {"weights", "y"}}, "IMAGE", "invalid \"placement\": \"x\" (use auto, gpu, gpuN, cpu)"},
    };
    for (const SettingCase& c : cases) {
        SCOPED_TRACE(c.settings.dump() + " " + c.family);
        std::string error;
        const bool ok = validatePlacementSettings(c.settings, c.family, error);
        if (c.error) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.error);
        } else {
            EXPECT_TRUE(ok) << error;
        }
    }
}

TEST(PlacementTest, EffectivePlacement) {
    const json modelGpu = {{"loadDefaults", {{"placement", "GPU2"}}}};
    struct Case {
        json settings;
        json model;
        const char* expected;
    };
    const Case cases[] = {
        {{{"placement", " GPU1 "}}, json::object(), "gpu1"},
        {json::object(), modelGpu, "gpu2"},
        {{{"placement", nullptr}}, modelGpu, "gpu2"},
        {{{"placement", "cpu"}}, modelGpu, "cpu"},
        {{{"placement", ""}}, modelGpu, "auto"},
        {json::object(), json::object(), "auto"},
        {{{"placement", {{"vae", "gpu0"}}}}, json::object(), "auto"},
        {{{"placement", {{"*", "GPU0"}}}}, json::object(), "gpu0"},
        {{{"placement", 1}}, json::object(), "1"},
        {json::object(), {{"loadDefaults", {{"placement", {{"*", "cpu"}}}}}}, "cpu"},
        {json::object(), {{"loadDefaults", {{"placement", nullptr}}}}, "auto"},
        {"text", json::object(), "auto"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(effectivePlacement(c.settings, c.model), c.expected) << c.settings.dump() << c.model.dump();
    }
}

GpuDevice gpu(int index, uint64_t freeGiB) {
    GpuDevice d;
    d.index = index;
    d.name = "GPU" + std::to_string(index);
    d.freeBytes = freeGiB << 30;
    d.totalBytes = 24ULL << 30;
    return d;
}

TEST(GpuPlacementTest, ResolvesOverAnInjectedDeviceList) {
    const std::vector<GpuDevice> two = {gpu(0, 8), gpu(1, 12)};
    const std::vector<GpuDevice> tie = {gpu(0, 8), gpu(1, 8)};
    GpuDevice chosen;
    std::string error;
    ASSERT_TRUE(resolveGpuPlacement("gpu", two, chosen, error));
    EXPECT_EQ(chosen.index, 1);
    ASSERT_TRUE(resolveGpuPlacement("gpu", tie, chosen, error));
    EXPECT_EQ(chosen.index, 0);
    ASSERT_TRUE(resolveGpuPlacement("gpu0", two, chosen, error));
    EXPECT_EQ(chosen.index, 0);
    ASSERT_TRUE(resolveGpuPlacement("gpu001", two, chosen, error));
    EXPECT_EQ(chosen.index, 1);

    struct Failure {
        const char* value;
        std::vector<GpuDevice> devices;
        std::string message;
    };
    const Failure failures[] = {
        {"gpu", {}, std::string("placement \"gpu\": no GPU found (available: none) ") + kDash + " use \"cpu\" or \"auto\""},
        {"gpu2", two, "gpu2 not found (available: gpu0, gpu1)"},
        {"gpu0", {}, "gpu0 not found (available: none)"},
        {"1", two, "invalid placement: \"1\" (use auto, gpu, gpuN, cpu)"},
        {"gpux", two, "invalid placement: \"gpux\" (use auto, gpu, gpuN, cpu)"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.value);
        error.clear();
        EXPECT_FALSE(resolveGpuPlacement(f.value, f.devices, chosen, error));
        EXPECT_EQ(error, f.message);
    }
}

TEST(GpuPlacementTest, ListsOnlyGpusOfTheBackendRegistry) {
    const std::vector<GpuDevice> devices = listGpuDevices();  // none on a machine without GPUs
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].index, static_cast<int>(i));
        const auto type = ggml_backend_dev_type(devices[i].device);
        EXPECT_TRUE(type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU);
    }
    EXPECT_EQ(listGpuDevices().size(), devices.size());  // the second call initialises nothing again
}

TEST(GpuPlacementTest, BackendInitialisationIsSafeFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<size_t> total{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            initLlamaBackendOnce();
            total += listGpuDevices().size();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(total.load(), 8 * listGpuDevices().size());
}

TEST(CudaDeviceOrderTest, SetsPciBusIdUnlessTheUserChoseAnOrder) {
    ::setenv("CUDA_DEVICE_ORDER", "FASTEST_FIRST", 1);
    setCudaDeviceOrder();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "FASTEST_FIRST");
    ::setenv("CUDA_DEVICE_ORDER", "", 1);
    setCudaDeviceOrder();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "PCI_BUS_ID");
    ::unsetenv("CUDA_DEVICE_ORDER");
    setCudaDeviceOrder();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "PCI_BUS_ID");
}

json llamaProps(int layers, json raw) {
    return {{"architecture", "llama"}, {"n_layer", layers}, {"raw_properties", std::move(raw)}};
}

TEST(KvCacheEstimateTest, WorkedExamples) {
    const json plain = llamaProps(4, {{"llama.attention.head_count_kv", 8},
                                      {"llama.attention.key_length", 128},
                                      {"llama.attention.value_length", 128}});
    EXPECT_EQ(estimateKvCacheBytes(plain, 4096, 512, "f16", "f16"), 67108864u);
    // 4 x (128 x 1.0625 + 128 x 0.5625) x 4096 x 8
    EXPECT_EQ(estimateKvCacheBytes(plain, 4096, 512, "q8_0", "q4_0"), 27262976u);

    // Sliding window 1024, pattern 6: five of every six layers hold
    // 1024 + 512 cells, the sixth all 8192.
    const json swa = llamaProps(12, {{"llama.attention.head_count_kv", 1},
                                     {"llama.attention.key_length", 1},
                                     {"llama.attention.value_length", 1},
                                     {"llama.attention.sliding_window", 1024},
                                     {"llama.attention.sliding_window_pattern", 6}});
    EXPECT_EQ(estimateKvCacheBytes(swa, 8192, 512, "f16", "f16"), static_cast<uint64_t>(4 * (10 * 1536 + 2 * 8192)));
    EXPECT_EQ(estimateKvCacheBytes(swa, 8192, -1, "f16", "f16"), static_cast<uint64_t>(4 * (10 * 1024 + 2 * 8192)));
    // The window never holds more cells than the context.
    EXPECT_EQ(estimateKvCacheBytes(swa, 1000, 512, "f16", "f16"), static_cast<uint64_t>(4 * 12 * 1000));
}

TEST(KvCacheEstimateTest, PerLayerHeadsPatternsAndIntervals) {
    // Head counts per layer; a 0 entry holds no cache. Head size from
    // n_embd / n_head.
    const json perLayer = {{"architecture", "qwen"},
                           {"n_layer", 3},
                           {"n_head", 4},
                           {"n_embd", 64},
                           {"raw_properties", {{"qwen.attention.head_count_kv", {2, 0, "x"}}}}};
    // Layer 0: 2 heads; layer 1: skipped; layer 2: not an integer, n_head 4.
    EXPECT_EQ(estimateKvCacheBytes(perLayer, 10, 512, "f32", "f32"), static_cast<uint64_t>((16 * 4 * 2) * 10 * (2 + 4)));

    // Boolean pattern array: only layers marked true slide; a short array
    // leaves the rest full.
    const json boolPattern = llamaProps(3, {{"llama.attention.head_count_kv", 1},
                                            {"llama.attention.key_length", 1},
                                            {"llama.attention.value_length", 1},
                                            {"llama.attention.sliding_window", 10},
                                            {"llama.attention.sliding_window_pattern", {true, false}}});
    EXPECT_EQ(estimateKvCacheBytes(boolPattern, 100, 0, "f16", "f16"), static_cast<uint64_t>(4 * (10 + 100 + 100)));

    // Every second layer holds a cache.
    const json interval = llamaProps(4, {{"llama.attention.head_count_kv", 1},
                                         {"llama.attention.key_length", 1},
                                         {"llama.attention.value_length", 1},
                                         {"llama.full_attention_interval", 2}});
    EXPECT_EQ(estimateKvCacheBytes(interval, 100, 0, "f16", "f16"), static_cast<uint64_t>(4 * 100 * 2));
}

TEST(KvCacheEstimateTest, MissingFactsGiveZero) {
    const json raw = {{"llama.attention.head_count_kv", 8}, {"llama.attention.key_length", 128}};
    EXPECT_EQ(estimateKvCacheBytes(llamaProps(0, raw), 4096, 512, "f16", "f16"), 0u);
    EXPECT_EQ(estimateKvCacheBytes(llamaProps(4, raw), 0, 512, "f16", "f16"), 0u);
    EXPECT_EQ(estimateKvCacheBytes({{"n_layer", 4}, {"raw_properties", raw}}, 4096, 512, "f16", "f16"), 0u);
    // No value length and no head size to fall back on.
    EXPECT_EQ(estimateKvCacheBytes(llamaProps(4, raw), 4096, 512, "f16", "f16"), 0u);
    EXPECT_EQ(estimateKvCacheBytes(json::array(), 4096, 512, "f16", "f16"), 0u);
    EXPECT_THROW(estimateKvCacheBytes({{"architecture", "llama"}, {"n_layer", 2}, {"n_head", "4"}}, 10, 0, "f16", "f16"),
                 json::type_error);
}

TEST(KvCacheEstimateTest, SmallHelpers) {
    const std::pair<const char*, double> bytes[] = {{"f32", 4.0},     {"f16", 2.0},     {"bf16", 2.0},
                                                    {"q8_0", 1.0625}, {"q4_0", 0.5625}, {"q4_1", 0.625},
                                                    {"iq4_nl", 0.5625}, {"q5_0", 0.6875}, {"q5_1", 0.75},
                                                    {"Q8_0", 2.0},    {"nonsense", 2.0}};
    for (const auto& [name, value] : bytes) EXPECT_DOUBLE_EQ(cacheTypeBytesPerElement(name), value) << name;
    EXPECT_EQ(modelLayerCount({{"n_layer", 32}}), 32);
    EXPECT_EQ(modelLayerCount({{"n_layer", 32.5}}), 0);
    EXPECT_EQ(modelLayerCount(json::array()), 0);
    EXPECT_EQ(rawModelProperty({{"raw_properties", {{"a", 1}}}}, "a"), 1);
    EXPECT_TRUE(rawModelProperty({{"raw_properties", {{"a", 1}}}}, "b").is_null());
    EXPECT_EQ(formatGiB(0), "0.00 GiB");
    EXPECT_EQ(formatGiB(3ULL << 29), "1.50 GiB");
}

TEST(KvCacheTypeTest, NamesAndGgmlIds) {
    EXPECT_EQ(kvCacheTypeNames().size(), 9u);
    EXPECT_TRUE(isKvCacheTypeName("iq4_nl"));
    EXPECT_FALSE(isKvCacheTypeName("F16"));
    EXPECT_FALSE(isQuantizedKvCacheType("bf16"));
    EXPECT_TRUE(isQuantizedKvCacheType("q5_1"));
    EXPECT_FALSE(isQuantizedKvCacheType("q8"));
    EXPECT_EQ(cacheTypeFromName("f32"), GGML_TYPE_F32);
    EXPECT_EQ(cacheTypeFromName("f16"), GGML_TYPE_F16);
    EXPECT_EQ(cacheTypeFromName("bf16"), GGML_TYPE_BF16);
    EXPECT_EQ(cacheTypeFromName("q8_0"), GGML_TYPE_Q8_0);
    EXPECT_EQ(cacheTypeFromName("iq4_nl"), GGML_TYPE_IQ4_NL);
    EXPECT_EQ(cacheTypeFromName("q5_1"), GGML_TYPE_Q5_1);
    LogCapture log;
    // Unknown names, and names only a prefix of a type's name, give F16.
    EXPECT_EQ(cacheTypeFromName("q8"), GGML_TYPE_F16);
    EXPECT_EQ(cacheTypeFromName(""), GGML_TYPE_F16);
    EXPECT_TRUE(log.contains("[MivrelEngine] 알 수 없는 KV 캐시 타입 'q8' → f16"));
}

}  // namespace
