// The CUDA runtime's device list, read through dlopen("libcudart.so.12") so
// the program runs (with no devices) where the runtime is absent.
// Safe for concurrent use.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct CudaDeviceInfo {
    std::string name;
    uint64_t totalMemoryBytes = 0;
    int computeMajor = 0;  // compute capability, e.g. 8 and 6 for 8.6
    int computeMinor = 0;
};

// The devices the runtime reports, in its order; empty when the runtime
// cannot be loaded or the count fails. A device whose properties cannot be
// read is left out.
std::vector<CudaDeviceInfo> listCudaDevices();

// The devices 0 to count - 1 that `query` fills in (queryCudaDevice's
// contract), in index order; an index for which it returns false is skipped.
// listCudaDevices' walk, open to a stand-in query.
std::vector<CudaDeviceInfo> collectCudaDevices(int count, const std::function<bool(int, CudaDeviceInfo&)>& query);

// The runtime's device count, 0 when it cannot be loaded or the query fails.
int cudaDeviceCount();

// The runtime's device count into `count`; false when the runtime cannot be
// loaded or the call fails (the count is then 0).
bool queryCudaDeviceCount(int& count);

// The properties of device `index`; false when the runtime cannot be loaded
// or the query fails (`info` is then left empty).
bool queryCudaDevice(int index, CudaDeviceInfo& info);

// Makes `index` the calling thread's current device and reads its free and
// total memory; false (both 0) when any call fails.
bool queryCudaDeviceMemory(int index, uint64_t& freeBytes, uint64_t& totalBytes);

// cudaRuntimeGetVersion and cudaDriverGetVersion (1000 x major + 10 x minor);
// 0 when the runtime cannot be loaded or the call fails. The driver's value
// is the newest CUDA version the installed driver supports.
int cudaRuntimeVersion();
int cudaDriverVersion();
