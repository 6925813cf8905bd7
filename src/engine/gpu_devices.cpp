#include "engine/gpu_devices.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <llama.h>

#include "base/logger.h"
#include "engine/placement.h"

namespace {

void printDevelopmentBanner() {
#ifndef NDEBUG
    const char* hashes = "###################################################################\n";
    std::fputs("\n\033[1;31m", stderr);
    std::fputs(hashes, stderr);
    std::fputs("###   \xE2\x9A\xA0\xEF\xB8\x8F WARNING: MivrelEngine is NOT running in RELEASE mode!   ###\n", stderr);
    std::fputs(hashes, stderr);
    std::fputs("###   This build is for DEVELOPMENT / TESTING only.             ###\n", stderr);
    std::fputs("###   - Performance may be degraded.                            ###\n", stderr);
    std::fputs("###   - Sensitive debug information may be exposed.             ###\n", stderr);
    std::fputs("###   - DO NOT use in production environments!                  ###\n", stderr);
    std::fputs(hashes, stderr);
    std::fputs("\033[0m\n", stderr);
    std::fflush(stderr);
#endif
}

void collect(enum ggml_backend_dev_type type, std::vector<GpuDevice>& out) {
    const size_t count = ggml_backend_dev_count();
    for (size_t i = 0; i < count; ++i) {
        ggml_backend_dev_t dev = ggml_backend_dev_get(i);
        if (!dev || ggml_backend_dev_type(dev) != type) continue;
        GpuDevice gpu;
        gpu.index = static_cast<int>(out.size());
        const char* name = ggml_backend_dev_name(dev);
        const char* description = ggml_backend_dev_description(dev);
        gpu.name = name ? name : "";
        gpu.description = description ? description : "";
        size_t freeBytes = 0;
        size_t totalBytes = 0;
        ggml_backend_dev_memory(dev, &freeBytes, &totalBytes);
        gpu.freeBytes = freeBytes;
        gpu.totalBytes = totalBytes;
        gpu.device = dev;
        out.push_back(gpu);
    }
}

}  // namespace

void initLlamaBackendOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        ggml_backend_load_all();
        llama_backend_init();
        printDevelopmentBanner();
    });
}

std::vector<GpuDevice> listGpuDevices() {
    initLlamaBackendOnce();
    std::vector<GpuDevice> devices;
    collect(GGML_BACKEND_DEVICE_TYPE_GPU, devices);
    if (devices.empty()) collect(GGML_BACKEND_DEVICE_TYPE_IGPU, devices);
    return devices;
}

bool resolveGpuPlacement(const std::string& value, const std::vector<GpuDevice>& devices, GpuDevice& chosen,
                         std::string& error) {
    std::string available;
    for (const GpuDevice& d : devices) {
        if (!available.empty()) available += ", ";
        available += "gpu" + std::to_string(d.index);
    }
    if (available.empty()) available = "none";

    if (value == "gpu") {
        if (devices.empty()) {
            error = "placement \"gpu\": no GPU found (available: none) \xE2\x80\x94 use \"cpu\" or \"auto\"";
            return false;
        }
        const GpuDevice* best = &devices.front();
        for (const GpuDevice& d : devices) {
            if (d.freeBytes > best->freeBytes) best = &d;
        }
        chosen = *best;
        return true;
    }
    const int n = parseGpuIndex(value);
    if (n < 0) {
        error = "invalid placement: \"" + value + "\" (use auto, gpu, gpuN, cpu)";
        return false;
    }
    if (static_cast<size_t>(n) >= devices.size()) {
        error = value + " not found (available: " + available + ")";
        return false;
    }
    chosen = devices[static_cast<size_t>(n)];
    return true;
}

void setCudaDeviceOrder() {
    const char* current = std::getenv("CUDA_DEVICE_ORDER");
    if (current && *current) {
        logMessage(4, "[placement] CUDA_DEVICE_ORDER=%s (사용자 지정 — 그대로 둠)", current);
        return;
    }
    if (::setenv("CUDA_DEVICE_ORDER", "PCI_BUS_ID", 1) != 0) {
        logMessage(2, "[placement] CUDA_DEVICE_ORDER 설정 실패 — GPU 번호가 nvidia-smi 와 다를 수 있음");
    }
}
