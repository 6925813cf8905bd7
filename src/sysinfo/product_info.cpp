#include "sysinfo/product_info.h"

#include <mutex>

#include "base/logger.h"
#include "base/version.h"
#include "platform/volume_space.h"
#include "sysinfo/cuda_arch.h"
#include "sysinfo/gb_figures.h"

namespace {

std::mutex productInfoMutex;
nlohmann::json productInfoCache;  // null until the first build

void addDiagnosticIssue(nlohmann::json& issues, const std::string& code, const std::string& level,
                        const std::string& message) {
    issues.push_back(nlohmann::json{{"code", code}, {"level", level}, {"message", message}});
}

nlohmann::json component(const char* id, const char* name, const std::string& version, const char* status) {
    return nlohmann::json{{"id", id}, {"name", name}, {"version", version}, {"status", status}};
}

// a / b truncated toward zero when above 0, else 0.
int64_t estimate(double a, double b) {
    const double value = a / b;
    return value > 0 ? static_cast<int64_t>(value) : 0;
}

}  // namespace

nlohmann::json composeProductInfo(const ProductFacts& facts) {
    nlohmann::json document = nlohmann::json::object();
    nlohmann::json issues = nlohmann::json::array();
    nlohmann::json components = nlohmann::json::array();

    document["product"] = nlohmann::json{{"name", kProductName},       {"version", kAppVersion},
                                         {"buildConfig", kBuildConfig}, {"buildDate", facts.buildDate},
                                         {"team", kTeamName},           {"installDir", facts.installDir}};

    const OsInfo& os = facts.os;
    document["os"] = nlohmann::json{
        {"platform", os.platform}, {"name", os.name}, {"version", os.version}, {"supported", os.support}};
    if (os.support == "best_effort") {
        addDiagnosticIssue(issues, "os_best_effort", "warning",
                           os.name + " works but is not officially supported. Debian 12 (x86-64) is recommended.");
    } else if (os.support == "unsupported") {
        addDiagnosticIssue(issues, "os_unsupported", "warning", os.name + " is not a supported OS.");
    }

    // CUDA runtime and NVIDIA driver.
    const int runtime = facts.cudaRuntimeVersion;
    const int driver = facts.driverCudaVersion;
    components.push_back(component("cuda_runtime", "CUDA runtime", cudaVersionText(runtime), runtime > 0 ? "ok" : "error"));
    const char* driverStatus = "ok";
    if (driver > 0 && driver < kMinDriverCudaVersion) {
        driverStatus = "warning";
        addDiagnosticIssue(issues, "driver_cuda_too_old", "warning",
                           "The NVIDIA driver supports CUDA " + cudaVersionText(driver) +
                               " only. Update the NVIDIA driver to " + kMinNvidiaDriver + " or later to use the GPU.");
    } else if (driver <= 0 && facts.driverVersion.empty()) {
        driverStatus = "info";
        addDiagnosticIssue(issues, "no_nvidia_driver", "info", "No NVIDIA driver was found. Brisvane will run on the CPU.");
    }
    nlohmann::json driverComponent = component("nvidia_driver", "NVIDIA driver", facts.driverVersion, driverStatus);
    driverComponent["cudaMax"] = cudaVersionText(driver);
    components.push_back(std::move(driverComponent));

    // Devices: CUDA devices (only with a driver new enough), then adapters.
    nlohmann::json devices = nlohmann::json::array();
    const std::vector<int> archs = parseCudaArchList();
    bool nvidiaSeen = false;
    bool usableGpu = false;
    double vramSum = 0.0;
    if (driver >= kMinDriverCudaVersion) {
        for (const CudaDeviceInfo& device : facts.cudaDevices) {
            nvidiaSeen = true;
            const int cc = device.computeMajor * 10 + device.computeMinor;
            const std::string support = archSupportOf(cc, archs);
            const double memoryGB = gbRounded(device.totalMemoryBytes);
            if (support != "unsupported") {
                usableGpu = true;
                vramSum += memoryGB;
            }
            const std::string computeCap = std::to_string(device.computeMajor) + "." + std::to_string(device.computeMinor);
            devices.push_back(nlohmann::json{{"vendor", "nvidia"},
                                             {"name", device.name},
                                             {"memoryGB", memoryGB},
                                             {"computeCap", computeCap},
                                             {"archSupport", support},
                                             {"status", support == "unsupported" ? "unsupported" : "supported"}});
            if (support == "ptx") {
                addDiagnosticIssue(issues, "gpu_arch_ptx", "warning",
                                   device.name + " is newer than this build's GPU code; it runs via PTX JIT (slow first start).");
            } else if (support == "unsupported") {
                addDiagnosticIssue(issues, "gpu_arch_unsupported", "error",
                                   device.name + " (compute " + computeCap +
                                       ") is too old for this build. Maxwell (5.2) or newer is required.");
            }
        }
    }
    for (const GraphicsAdapter& adapter : facts.adapters) {
        if (adapter.vendor == "nvidia") {
            if (nvidiaSeen) continue;
            nvidiaSeen = true;
            devices.push_back(nlohmann::json{{"vendor", "nvidia"},
                                             {"name", adapter.name},
                                             {"memoryGB", adapter.memoryGB},
                                             {"status", "driver_required"}});
            continue;
        }
        devices.push_back(nlohmann::json{
            {"vendor", adapter.vendor}, {"name", adapter.name}, {"memoryGB", adapter.memoryGB}, {"status", "unsupported"}});
        addDiagnosticIssue(issues, "gpu_vendor_unsupported", "info",
                           adapter.name + " was detected. Only NVIDIA GPUs are supported.");
    }
    document["devices"] = std::move(devices);

    // The inference library.
    bool gpuBackend = false;
    bool cpuBackend = false;
    nlohmann::json llamaDeviceTexts = nlohmann::json::array();
    for (const LlamaDeviceFact& device : facts.llamaDevices) {
        gpuBackend = gpuBackend || device.isGpu;
        cpuBackend = cpuBackend || device.isCpu;
        llamaDeviceTexts.push_back(device.name + ": " + device.description);
    }
    const char* llamaStatus = cpuBackend ? "ok" : "error";
    if (usableGpu && !gpuBackend) {
        llamaStatus = "error";
        addDiagnosticIssue(issues, "gpu_backend_not_loaded", "error",
                           "An NVIDIA GPU was found but the llama.cpp CUDA backend (ggml-cuda) did not load. Reinstall Brisvane.");
    }
    if (!cpuBackend) {
        addDiagnosticIssue(issues, "cpu_backend_not_loaded", "error",
                           "The llama.cpp CPU backend (ggml-cpu) did not load. Reinstall Brisvane (C++ runtime may be missing).");
    }
    nlohmann::json llama = component("llama_cpp", "llama.cpp", facts.llamaRevision, llamaStatus);
    llama["devices"] = std::move(llamaDeviceTexts);
    components.push_back(std::move(llama));

    // The media library.
    const std::string mediaVersion =
        facts.mediaLibraryCommit.empty() ? std::string(kMediaLibraryFallbackRevision) : facts.mediaLibraryCommit;
    nlohmann::json media =
        component("sd_cpp", "stable-diffusion.cpp", mediaVersion, facts.mediaLibraryLoaded ? "ok" : "error");
    if (!facts.mediaLibraryLoaded) {
        media["error"] = facts.mediaLibraryError;
        addDiagnosticIssue(issues, "media_engine_not_loaded", "warning",
                           "Image generation is unavailable: " + facts.mediaLibraryError);
    }
    components.push_back(std::move(media));

    components.push_back(component("openssl", "OpenSSL", facts.opensslVersion, "ok"));
    nlohmann::json cxx = component("vc_runtime", "C++ runtime (libstdc++)", facts.cxxRuntimeVersion,
                                   facts.cxxRuntimeVersion.empty() ? "info" : "ok");
    cxx["path"] = facts.cxxRuntimePath;
    components.push_back(std::move(cxx));

    components.push_back(component("webview2", "WebKitGTK", facts.webViewVersion,
                                   facts.webViewVersion.empty() ? "warning" : "ok"));
    if (facts.webViewVersion.empty()) {
        addDiagnosticIssue(issues, "webview2_missing", "warning",
                           "The WebKitGTK runtime was not found. Brisvane windows may not open.");
    }
    document["components"] = std::move(components);

    // Capacity.
    const double ramGB = facts.memoryKnown ? gbRounded(facts.memoryTotalBytes) : 0.0;
    nlohmann::json capacity = nlohmann::json::object();
    capacity["vramGB"] = roundToTenth(vramSum);
    capacity["ramGB"] = ramGB;
    capacity["estimate"] = nlohmann::json{
        {"gpu", {{"q8", estimate(vramSum - 1.5, 1.07)}, {"q4", estimate(vramSum - 1.5, 0.6)}}},
        {"cpuOffload", {{"q8", estimate(ramGB * 0.75, 1.07)}, {"q4", estimate(ramGB * 0.75, 0.6)}}}};
    document["capacity"] = std::move(capacity);

    // Conclusions.
    const bool gpuOk = usableGpu && driver >= kMinDriverCudaVersion && gpuBackend;
    std::string gpuReason;
    if (!gpuOk) {
        if (!nvidiaSeen) {
            gpuReason = "no_nvidia_gpu";
        } else if (driver <= 0) {
            gpuReason = "no_nvidia_driver";
        } else if (driver < kMinDriverCudaVersion) {
            gpuReason = "driver_cuda_too_old";
        } else if (!usableGpu) {
            gpuReason = "gpu_arch_unsupported";
        } else {
            gpuReason = "gpu_backend_not_loaded";
        }
    }
    std::string imageReason;
    if (!facts.mediaLibraryLoaded) {
        imageReason = "media_engine_not_loaded";
    } else if (!gpuOk) {
        imageReason = "gpu_inference_unavailable";
    }
    document["conclusion"] = nlohmann::json::array({
        {{"id", "gpu_inference"}, {"status", gpuOk ? "ok" : "unavailable"}, {"reason", gpuReason}},
        {{"id", "cpu_offload"},
         {"status", cpuBackend ? "ok" : "unavailable"},
         {"reason", cpuBackend ? "" : "cpu_backend_not_loaded"}},
        {{"id", "image_gen"}, {"status", imageReason.empty() ? "ok" : "unavailable"}, {"reason", imageReason}},
    });

    document["diagnostics"] = std::move(issues);
    document["criteria"] = nlohmann::json{{"minDriver", kMinNvidiaDriver},
                                          {"minDriverCuda", cudaVersionText(kMinDriverCudaVersion)},
                                          {"cudaArchs", archs}};
    return document;
}

nlohmann::json buildProductInfo() { return composeProductInfo(gatherProductFacts(SystemRoots())); }

double modelsDiskFreeGb(const std::string& modelsDir) {
    const VolumeSpace space = queryVolumeSpace(modelsDir);
    return space.known ? gbRounded(space.availableBytes) : 0.0;
}

nlohmann::json productInfo(const std::string& modelsDir, bool refresh) {
    std::lock_guard<std::mutex> lock(productInfoMutex);
    if (refresh || productInfoCache.is_null()) {
        logMessage(4, "[productInfo] 제품 정보/진단 수집 (refresh=%s)", refresh ? "true" : "false");
        nlohmann::json built = buildProductInfo();
        productInfoCache = std::move(built);
    }
    nlohmann::json copy = productInfoCache;
    copy["capacity"]["modelsDiskFreeGB"] = modelsDiskFreeGb(modelsDir);
    copy["capacity"]["modelsDir"] = modelsDir;
    return copy;
}

void clearProductInfoCacheForTesting() {
    std::lock_guard<std::mutex> lock(productInfoMutex);
    productInfoCache = nullptr;
}
