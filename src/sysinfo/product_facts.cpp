#include "sysinfo/product_facts.h"

#include <sys/stat.h>

#include <ctime>

#include <ggml-backend.h>
#include <ggml.h>
#include <openssl/crypto.h>

#include "engine/gpu_devices.h"
#include "media/sd_library.h"
#include "platform/executable_path.h"
#include "platform/installed_libraries.h"
#include "platform/loaded_modules.h"
#include "platform/memory_status.h"
#include "platform/nvidia_driver.h"
#include "sysinfo/cuda_arch.h"

namespace {

// The web view library the desktop shell is built on (WebKitGTK 4.1).
constexpr char kWebViewLibraryPrefix[] = "libwebkit2gtk-4.1.so";

std::string modificationTimeText(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || info.st_mtime == 0) return "";
    std::tm local {};
    const time_t when = info.st_mtime;
    if (!::localtime_r(&when, &local)) return "";
    char text[32];
    return std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local) ? text : "";
}

std::string llamaRevision() {
    const char* commit = ggml_commit();
    if (commit && *commit && std::string(commit) != "unknown") return commit;
    const char* version = ggml_version();
    return version ? version : "";
}

std::vector<LlamaDeviceFact> llamaDevices() {
    initLlamaBackendOnce();
    std::vector<LlamaDeviceFact> devices;
    const size_t count = ggml_backend_dev_count();
    for (size_t k = 0; k < count; ++k) {
        ggml_backend_dev_t device = ggml_backend_dev_get(k);
        if (!device) continue;
        LlamaDeviceFact fact;
        const char* name = ggml_backend_dev_name(device);
        const char* description = ggml_backend_dev_description(device);
        fact.name = name ? name : "";
        fact.description = description ? description : "";
        const enum ggml_backend_dev_type type = ggml_backend_dev_type(device);
        fact.isGpu = type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
        fact.isCpu = type == GGML_BACKEND_DEVICE_TYPE_CPU;
        devices.push_back(std::move(fact));
    }
    return devices;
}

}  // namespace

ProductFacts gatherProductFacts(const SystemRoots& roots) {
    ProductFacts facts;
    const std::string executable = executablePath();
    facts.installDir = executableDir();
    facts.buildDate = modificationTimeText(executable);
    facts.os = detectOsInfo(roots);

    facts.cudaRuntimeVersion = cudaRuntimeVersion();
    facts.driverCudaVersion = cudaDriverVersion();
    facts.driverVersion = readNvidiaDriverVersion(roots.proc);
    int count = 0;
    if (facts.driverCudaVersion >= kMinDriverCudaVersion && queryCudaDeviceCount(count)) {
        for (int k = 0; k < count; ++k) {
            CudaDeviceInfo info;
            if (queryCudaDevice(k, info)) facts.cudaDevices.push_back(std::move(info));
        }
    }
    facts.adapters = detectGraphicsAdapters(roots);

    facts.llamaRevision = llamaRevision();
    facts.llamaDevices = llamaDevices();

    const SdLibrary& media = SdLibrary::instance();
    facts.mediaLibraryLoaded = media.loaded;
    facts.mediaLibraryError = media.error;
    if (const auto commit = media.get<const char* (*)()>(kSdCommit)) {
        const char* text = commit();
        if (text) facts.mediaLibraryCommit = text;
    }

    const char* openssl = OpenSSL_version(OPENSSL_VERSION);
    facts.opensslVersion = openssl ? openssl : "";
    facts.cxxRuntimeVersion = moduleVersionText("libstdc++.so", &facts.cxxRuntimePath);
    // The desktop shell loads the web view library only on a desktop: a
    // headless server (or one asked before the shell started) finds the
    // installed library the shell would load.
    facts.webViewVersion = moduleVersionText("libwebkit2gtk-");
    if (facts.webViewVersion.empty()) {
        const std::vector<std::string> dirs = roots.libraryDirs.empty() ? defaultLibraryDirs() : roots.libraryDirs;
        facts.webViewVersion = sharedObjectVersion(installedLibraryPath(kWebViewLibraryPrefix, dirs));
    }

    const MemoryStatus memory = readMemoryStatus(roots.proc);
    facts.memoryKnown = memory.known;
    facts.memoryTotalBytes = memory.totalBytes;
    return facts;
}
