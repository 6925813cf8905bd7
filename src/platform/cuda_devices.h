// The CUDA runtime's device list, read through dlopen("libcudart.so.12") so
// the program runs (with no devices) where the runtime is absent.
// Safe for concurrent use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CudaDeviceInfo {
    std::string name;
    uint64_t totalMemoryBytes = 0;
};

// The devices the runtime reports, in its order; empty when the runtime
// cannot be loaded or any query fails.
std::vector<CudaDeviceInfo> listCudaDevices();

// The runtime's device count, 0 when it cannot be loaded or the query fails.
int cudaDeviceCount();
