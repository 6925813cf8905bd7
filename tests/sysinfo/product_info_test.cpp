// The product-information document composed from probe records: the
// machines the report must judge (no NVIDIA at all, NVIDIA hardware without
// driver, a driver too old, old and new GPU architectures, everything in
// place) and the cache of the live document.
#include <gtest/gtest.h>

#include "config/server_config.h"
#include "sysinfo/product_info.h"

namespace {

using nlohmann::json;

constexpr uint64_t kGiB = 1ull << 30;

// A CPU-only Debian 12 machine with an Intel adapter and no media library.
ProductFacts cpuOnlyMachine() {
    ProductFacts facts;
    facts.installDir = "/opt/brisvane";
    facts.buildDate = "2026-01-02 03:04";
    facts.os = {"linux", "Debian GNU/Linux 12 (bookworm)", "12", "official"};
    facts.adapters = {{"intel", "Intel Corporation 8086:9a49", 0.0}};
    facts.llamaRevision = "abc1234";
    facts.llamaDevices = {{"CPU", "Intel Xeon", false, true}};
    facts.mediaLibraryError = "libstable-diffusion.so not found";
    facts.opensslVersion = "OpenSSL 3.0.15 3 Sep 2024";
    facts.cxxRuntimeVersion = "6.0.30";
    facts.cxxRuntimePath = "/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30";
    facts.memoryKnown = true;
    facts.memoryTotalBytes = 34145366835ull;  // 31.8 GB
    return facts;
}

// The same machine with a working NVIDIA setup and every component.
ProductFacts completeMachine() {
    ProductFacts facts = cpuOnlyMachine();
    facts.adapters = {{"nvidia", "NVIDIA Corporation GA102 [GeForce RTX 3090]", 0.0}};
    facts.cudaRuntimeVersion = 12040;
    facts.driverCudaVersion = 12040;
    facts.driverVersion = "550.54.14";
    CudaDeviceInfo gpu;
    gpu.name = "NVIDIA GeForce RTX 3090";
    gpu.totalMemoryBytes = 24 * kGiB;
    gpu.computeMajor = 8;
    gpu.computeMinor = 6;
    facts.cudaDevices = {gpu};
    facts.llamaDevices = {{"CUDA0", "NVIDIA GeForce RTX 3090", true, false}, {"CPU", "Intel Xeon", false, true}};
    facts.mediaLibraryLoaded = true;
    facts.mediaLibraryError = "";
    facts.mediaLibraryCommit = "deadbee";
    facts.webViewVersion = "0.13.5";
    return facts;
}

std::vector<std::string> issueCodes(const json& document) {
    std::vector<std::string> codes;
    for (const json& issue : document["diagnostics"]) codes.push_back(issue["code"]);
    return codes;
}

const json& componentOf(const json& document, const std::string& id) {
    for (const json& component : document["components"]) {
        if (component["id"] == id) return component;
    }
    static const json none;
    return none;
}

const json& conclusionOf(const json& document, const std::string& id) {
    for (const json& conclusion : document["conclusion"]) {
        if (conclusion["id"] == id) return conclusion;
    }
    static const json none;
    return none;
}

TEST(ProductInfo, EverythingPresent) {
    const json document = composeProductInfo(completeMachine());
    EXPECT_EQ(document["diagnostics"], json::array());
    for (const char* id : {"gpu_inference", "cpu_offload", "image_gen"}) {
        EXPECT_EQ(conclusionOf(document, id), json({{"id", id}, {"status", "ok"}, {"reason", ""}}));
    }
    std::vector<std::string> ids;
    for (const json& component : document["components"]) {
        ids.push_back(component["id"]);
        EXPECT_EQ(component["status"], "ok") << component.dump();
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"cuda_runtime", "nvidia_driver", "llama_cpp", "sd_cpp", "openssl",
                                             "vc_runtime", "webview2"}));
    EXPECT_EQ(componentOf(document, "cuda_runtime")["version"], "12.4");
    EXPECT_EQ(componentOf(document, "nvidia_driver")["version"], "550.54.14");
    EXPECT_EQ(componentOf(document, "nvidia_driver")["cudaMax"], "12.4");
    EXPECT_EQ(componentOf(document, "llama_cpp")["devices"],
              json({"CUDA0: NVIDIA GeForce RTX 3090", "CPU: Intel Xeon"}));
    EXPECT_EQ(componentOf(document, "sd_cpp")["version"], "deadbee");
    EXPECT_FALSE(componentOf(document, "sd_cpp").contains("error"));
    EXPECT_EQ(componentOf(document, "vc_runtime")["path"], "/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30");

    // The CUDA device is listed; the adapter of the same GPU is not listed again.
    ASSERT_EQ(document["devices"].size(), 1u);
    EXPECT_EQ(document["devices"][0], json({{"vendor", "nvidia"},
                                            {"name", "NVIDIA GeForce RTX 3090"},
                                            {"memoryGB", 24.0},
                                            {"computeCap", "8.6"},
                                            {"archSupport", "supported"},
                                            {"status", "supported"}}));
    // vramSum 24.0: q8 = 22.5 / 1.07 -> 21, q4 = 22.5 / 0.6 -> 37; ramGB 31.8:
    // q8 = 23.85 / 1.07 -> 22, q4 = 23.85 / 0.6 -> 39.
    EXPECT_EQ(document["capacity"], json({{"vramGB", 24.0},
                                          {"ramGB", 31.8},
                                          {"estimate",
                                           {{"gpu", {{"q8", 21}, {"q4", 37}}},
                                            {"cpuOffload", {{"q8", 22}, {"q4", 39}}}}}}));
    EXPECT_EQ(document["criteria"],
              json({{"minDriver", "527.41"}, {"minDriverCuda", "12.0"}, {"cudaArchs", {52, 61, 70, 75, 80, 86, 89, 90}}}));
    EXPECT_EQ(document["product"], json({{"name", "Brisvane"},
                                         {"version", "1.0.23"},
                                         {"buildConfig", "Release"},
                                         {"buildDate", "2026-01-02 03:04"},
                                         {"team", "Halvoro"},
                                         {"installDir", "/opt/brisvane"}}));
    EXPECT_EQ(document["os"],
              json({{"platform", "linux"}, {"name", "Debian GNU/Linux 12 (bookworm)"}, {"version", "12"}, {"supported", "official"}}));
}

TEST(ProductInfo, NoNvidiaDriverAndNoNvidiaHardware) {
    const json document = composeProductInfo(cpuOnlyMachine());
    ASSERT_EQ(document["devices"].size(), 1u);
    EXPECT_EQ(document["devices"][0],
              json({{"vendor", "intel"}, {"name", "Intel Corporation 8086:9a49"}, {"memoryGB", 0.0}, {"status", "unsupported"}}));
    EXPECT_EQ(issueCodes(document), (std::vector<std::string>{"no_nvidia_driver", "gpu_vendor_unsupported",
                                                              "media_engine_not_loaded", "webview2_missing"}));
    EXPECT_EQ(document["diagnostics"][0],
              json({{"code", "no_nvidia_driver"}, {"level", "info"}, {"message", "No NVIDIA driver was found. Brisvane will run on the CPU."}}));
    EXPECT_EQ(document["diagnostics"][1]["message"],
              "Intel Corporation 8086:9a49 was detected. Only NVIDIA GPUs are supported.");
    EXPECT_EQ(document["diagnostics"][2]["message"], "Image generation is unavailable: libstable-diffusion.so not found");
    EXPECT_EQ(componentOf(document, "nvidia_driver"),
              json({{"id", "nvidia_driver"}, {"name", "NVIDIA driver"}, {"version", ""}, {"cudaMax", ""}, {"status", "info"}}));
    EXPECT_EQ(componentOf(document, "cuda_runtime")["status"], "error");
    EXPECT_EQ(componentOf(document, "cuda_runtime")["version"], "");
    EXPECT_EQ(componentOf(document, "sd_cpp")["version"], "532d2c1");
    EXPECT_EQ(componentOf(document, "sd_cpp")["error"], "libstable-diffusion.so not found");
    EXPECT_EQ(componentOf(document, "webview2")["status"], "warning");
    EXPECT_EQ(componentOf(document, "llama_cpp")["status"], "ok");
    EXPECT_EQ(conclusionOf(document, "gpu_inference"),
              json({{"id", "gpu_inference"}, {"status", "unavailable"}, {"reason", "no_nvidia_gpu"}}));
    EXPECT_EQ(conclusionOf(document, "cpu_offload")["status"], "ok");
    EXPECT_EQ(conclusionOf(document, "image_gen"),
              json({{"id", "image_gen"}, {"status", "unavailable"}, {"reason", "media_engine_not_loaded"}}));
    EXPECT_EQ(document["capacity"]["vramGB"], 0.0);
    EXPECT_EQ(document["capacity"]["estimate"]["gpu"], json({{"q8", 0}, {"q4", 0}}));
}

TEST(ProductInfo, NvidiaHardwareWithoutDriver) {
    ProductFacts facts = cpuOnlyMachine();
    facts.adapters = {{"nvidia", "NVIDIA Corporation GA102", 0.0},
                      {"intel", "Intel UHD", 0.0},
                      {"nvidia", "NVIDIA Corporation second", 0.0}};
    const json document = composeProductInfo(facts);
    ASSERT_EQ(document["devices"].size(), 2u) << "a second NVIDIA adapter is not listed";
    EXPECT_EQ(document["devices"][0],
              json({{"vendor", "nvidia"}, {"name", "NVIDIA Corporation GA102"}, {"memoryGB", 0.0}, {"status", "driver_required"}}));
    EXPECT_EQ(document["devices"][1]["vendor"], "intel");
    EXPECT_EQ(conclusionOf(document, "gpu_inference")["reason"], "no_nvidia_driver");
}

TEST(ProductInfo, DriverCudaTooOld) {
    ProductFacts facts = completeMachine();
    facts.driverCudaVersion = 11080;
    facts.driverVersion = "470.256.02";
    const json document = composeProductInfo(facts);
    EXPECT_EQ(componentOf(document, "nvidia_driver")["status"], "warning");
    EXPECT_EQ(componentOf(document, "nvidia_driver")["cudaMax"], "11.8");
    EXPECT_EQ(document["diagnostics"][0],
              json({{"code", "driver_cuda_too_old"},
                    {"level", "warning"},
                    {"message", "The NVIDIA driver supports CUDA 11.8 only. Update the NVIDIA driver to 527.41 or later to use the GPU."}}));
    // No CUDA device is looked at; the adapter stands for the GPU.
    ASSERT_EQ(document["devices"].size(), 1u);
    EXPECT_EQ(document["devices"][0]["status"], "driver_required");
    EXPECT_EQ(conclusionOf(document, "gpu_inference")["reason"], "driver_cuda_too_old");
    EXPECT_EQ(conclusionOf(document, "image_gen")["reason"], "gpu_inference_unavailable");
    EXPECT_EQ(document["capacity"]["vramGB"], 0.0);
}

TEST(ProductInfo, GpuArchitectures) {
    struct Case {
        int major, minor;
        const char* archSupport;
        const char* status;
        const char* issue;
        const char* level;
        double vram;
        const char* reason;
    };
    const Case cases[] = {
        {5, 0, "unsupported", "unsupported", "gpu_arch_unsupported", "error", 0.0, "gpu_arch_unsupported"},
        {10, 0, "ptx", "supported", "gpu_arch_ptx", "warning", 24.0, ""},
    };
    for (const Case& c : cases) {
        ProductFacts facts = completeMachine();
        facts.cudaDevices[0].name = "Some GPU";
        facts.cudaDevices[0].computeMajor = c.major;
        facts.cudaDevices[0].computeMinor = c.minor;
        const json document = composeProductInfo(facts);
        const std::string what = std::to_string(c.major) + "." + std::to_string(c.minor);
        EXPECT_EQ(document["devices"][0]["archSupport"], c.archSupport) << what;
        EXPECT_EQ(document["devices"][0]["status"], c.status) << what;
        ASSERT_EQ(document["diagnostics"].size(), 1u) << what << document["diagnostics"].dump();
        EXPECT_EQ(document["diagnostics"][0]["code"], c.issue) << what;
        EXPECT_EQ(document["diagnostics"][0]["level"], c.level) << what;
        EXPECT_EQ(document["capacity"]["vramGB"], c.vram) << what;
        EXPECT_EQ(conclusionOf(document, "gpu_inference")["reason"], c.reason) << what;
        if (c.vram == 0.0) {
            EXPECT_EQ(document["capacity"]["estimate"]["gpu"], json({{"q8", 0}, {"q4", 0}})) << what;
        }
    }
    ProductFacts facts = completeMachine();
    facts.cudaDevices[0].computeMajor = 5;
    facts.cudaDevices[0].computeMinor = 0;
    EXPECT_EQ(composeProductInfo(facts)["diagnostics"][0]["message"],
              "NVIDIA GeForce RTX 3090 (compute 5.0) is too old for this build. Maxwell (5.2) or newer is required.");
}

TEST(ProductInfo, MissingBackends) {
    ProductFacts facts = completeMachine();
    facts.llamaDevices = {};
    const json document = composeProductInfo(facts);
    EXPECT_EQ(issueCodes(document), (std::vector<std::string>{"gpu_backend_not_loaded", "cpu_backend_not_loaded"}));
    EXPECT_EQ(componentOf(document, "llama_cpp")["status"], "error");
    EXPECT_EQ(conclusionOf(document, "gpu_inference")["reason"], "gpu_backend_not_loaded");
    EXPECT_EQ(conclusionOf(document, "cpu_offload"),
              json({{"id", "cpu_offload"}, {"status", "unavailable"}, {"reason", "cpu_backend_not_loaded"}}));
}

TEST(ProductInfo, OsIssues) {
    ProductFacts facts = completeMachine();
    facts.os = {"linux", "Ubuntu 22.04.4 LTS", "22.04", "best_effort"};
    EXPECT_EQ(composeProductInfo(facts)["diagnostics"][0],
              json({{"code", "os_best_effort"},
                    {"level", "warning"},
                    {"message", "Ubuntu 22.04.4 LTS works but is not officially supported. Debian 12 (x86-64) is recommended."}}));
    facts.os = {"linux", "Debian GNU/Linux 12", "12", "unsupported"};
    EXPECT_EQ(composeProductInfo(facts)["diagnostics"][0]["message"], "Debian GNU/Linux 12 is not a supported OS.");
    facts.os.support = "unknown";
    EXPECT_EQ(composeProductInfo(facts)["diagnostics"], json::array());
}

TEST(ProductInfo, CachedCopyWithLiveFields) {
    clearProductInfoCacheForTesting();
    ServerConfig::DIR_MODELS = "/";
    const json first = productInfo(ServerConfig::DIR_MODELS, false);
    EXPECT_EQ(first["capacity"]["modelsDir"], "/");
    EXPECT_GT(first["capacity"]["modelsDiskFreeGB"].get<double>(), 0.0);
    // This machine: no NVIDIA driver, a CPU backend, no media library.
    EXPECT_EQ(conclusionOf(first, "cpu_offload")["status"], "ok");
    EXPECT_EQ(componentOf(first, "openssl")["status"], "ok");
    EXPECT_FALSE(componentOf(first, "vc_runtime")["version"].get<std::string>().empty());

    ServerConfig::DIR_MODELS = "no/such/models";
    const json second = productInfo(ServerConfig::DIR_MODELS, false);
    EXPECT_EQ(second["capacity"]["modelsDir"], "no/such/models");
    EXPECT_EQ(second["capacity"]["modelsDiskFreeGB"], 0.0);
    json withoutLive = second;
    json firstWithoutLive = first;
    for (json* doc : {&withoutLive, &firstWithoutLive}) {
        (*doc)["capacity"].erase("modelsDir");
        (*doc)["capacity"].erase("modelsDiskFreeGB");
    }
    EXPECT_EQ(withoutLive, firstWithoutLive);
    ServerConfig::resetToDefaults();
    clearProductInfoCacheForTesting();
}

}  // namespace
