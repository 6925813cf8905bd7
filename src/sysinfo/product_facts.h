// Everything the product-information document reports about the machine and
// the program's components, gathered by the probes into one plain record so
// the document can be composed (and tested) apart from the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/cuda_devices.h"
#include "platform/system_roots.h"
#include "sysinfo/graphics_adapters.h"
#include "sysinfo/os_info.h"

// One device of the inference library's backend registry.
struct LlamaDeviceFact {
    std::string name;
    std::string description;
    bool isGpu = false;  // a discrete or integrated GPU
    bool isCpu = false;
};

struct ProductFacts {
    std::string installDir;  // the executable's folder; "" when unknown
    std::string buildDate;   // "%Y-%m-%d %H:%M" of the executable; "" when unknown
    OsInfo os;

    int cudaRuntimeVersion = 0;  // 0: no CUDA runtime
    int driverCudaVersion = 0;   // newest CUDA the driver supports; 0: no driver
    std::string driverVersion;   // e.g. "535.129.03"; "" when no driver is loaded
    std::vector<CudaDeviceInfo> cudaDevices;  // the devices whose query succeeded
    std::vector<GraphicsAdapter> adapters;    // PCI display adapters

    std::string llamaRevision;
    std::vector<LlamaDeviceFact> llamaDevices;

    bool mediaLibraryLoaded = false;
    std::string mediaLibraryError;
    std::string mediaLibraryCommit;  // "" when the library gives none

    std::string opensslVersion;
    std::string cxxRuntimeVersion;  // the loaded libstdc++'s version; ""
    std::string cxxRuntimePath;
    std::string webViewVersion;     // the desktop shell's web view library; ""

    bool memoryKnown = false;
    uint64_t memoryTotalBytes = 0;
};

// Runs every probe: the executable's folder and date, the OS, the CUDA
// runtime (devices only with a driver new enough), the NVIDIA driver, the
// PCI adapters, the inference library's devices (initialising its backends
// when nothing has yet), the media library, OpenSSL, the loaded C++ runtime
// and web view libraries, and the physical memory. A probe that fails leaves
// its empty value; nothing here throws for a missing component. Slow (backend
// loading); run it only to build the document.
ProductFacts gatherProductFacts(const SystemRoots& roots);
