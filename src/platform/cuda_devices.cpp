#include "platform/cuda_devices.h"

#include <dlfcn.h>

#include <cstring>

namespace {

using GetCountFn = int (*)(int*);
using GetPropertiesFn = int (*)(void*, int);
using GetVersionFn = int (*)(int*);
using SetDeviceFn = int (*)(int);
using MemGetInfoFn = int (*)(size_t*, size_t*);

struct CudaRuntime {
    GetCountFn getCount = nullptr;
    GetPropertiesFn getProperties = nullptr;
    GetVersionFn runtimeVersion = nullptr;
    GetVersionFn driverVersion = nullptr;
    SetDeviceFn setDevice = nullptr;
    MemGetInfoFn memGetInfo = nullptr;
};

// Loaded once; the library stays loaded for the life of the process.
const CudaRuntime& runtime() {
    static const CudaRuntime loaded = [] {
        CudaRuntime r;
        void* library = ::dlopen("libcudart.so.12", RTLD_NOW | RTLD_LOCAL);
        if (!library) return r;
        r.getCount = reinterpret_cast<GetCountFn>(::dlsym(library, "cudaGetDeviceCount"));
        r.getProperties = reinterpret_cast<GetPropertiesFn>(::dlsym(library, "cudaGetDeviceProperties_v2"));
        if (!r.getProperties)
            r.getProperties = reinterpret_cast<GetPropertiesFn>(::dlsym(library, "cudaGetDeviceProperties"));
        r.runtimeVersion = reinterpret_cast<GetVersionFn>(::dlsym(library, "cudaRuntimeGetVersion"));
        r.driverVersion = reinterpret_cast<GetVersionFn>(::dlsym(library, "cudaDriverGetVersion"));
        r.setDevice = reinterpret_cast<SetDeviceFn>(::dlsym(library, "cudaSetDevice"));
        r.memGetInfo = reinterpret_cast<MemGetInfoFn>(::dlsym(library, "cudaMemGetInfo"));
        return r;
    }();
    return loaded;
}

// cudaDeviceProp of CUDA 12 begins with name[256], uuid (16 bytes), luid[8],
// luidDeviceNodeMask (4 bytes) and then totalGlobalMem (size_t, aligned).
constexpr size_t kNameOffset = 0;
constexpr size_t kNameSize = 256;
constexpr size_t kTotalMemoryOffset = 288;
// ... sharedMemPerBlock, regsPerBlock, warpSize, memPitch, maxThreadsPerBlock,
// maxThreadsDim[3], maxGridSize[3], clockRate, totalConstMem, then major and
// minor.
constexpr size_t kMajorOffset = 360;
constexpr size_t kMinorOffset = 364;
constexpr size_t kPropertiesSize = 4096;  // larger than the struct of any CUDA 12

}  // namespace

int cudaDeviceCount() {
    const CudaRuntime& r = runtime();
    int count = 0;
    if (!r.getCount || r.getCount(&count) != 0 || count < 0) return 0;
    return count;
}

std::vector<CudaDeviceInfo> listCudaDevices() { return collectCudaDevices(cudaDeviceCount(), queryCudaDevice); }

std::vector<CudaDeviceInfo> collectCudaDevices(int count, const std::function<bool(int, CudaDeviceInfo&)>& query) {
    std::vector<CudaDeviceInfo> devices;
    for (int k = 0; k < count; ++k) {
        CudaDeviceInfo info;
        // One device that cannot be read (lost, or held by another process)
        // says nothing about the others.
        if (query(k, info)) devices.push_back(std::move(info));
    }
    return devices;
}

bool queryCudaDeviceCount(int& count) {
    count = 0;
    const CudaRuntime& r = runtime();
    int reported = 0;
    if (!r.getCount || r.getCount(&reported) != 0 || reported < 0) return false;
    count = reported;
    return true;
}

bool queryCudaDevice(int index, CudaDeviceInfo& info) {
    info = CudaDeviceInfo();
    const CudaRuntime& r = runtime();
    if (!r.getProperties) return false;
    alignas(8) unsigned char properties[kPropertiesSize] = {};
    if (r.getProperties(properties, index) != 0) return false;
    info.name.assign(reinterpret_cast<const char*>(properties + kNameOffset),
                     strnlen(reinterpret_cast<const char*>(properties + kNameOffset), kNameSize));
    std::memcpy(&info.totalMemoryBytes, properties + kTotalMemoryOffset, sizeof(size_t));
    std::memcpy(&info.computeMajor, properties + kMajorOffset, sizeof(int));
    std::memcpy(&info.computeMinor, properties + kMinorOffset, sizeof(int));
    return true;
}

bool queryCudaDeviceMemory(int index, uint64_t& freeBytes, uint64_t& totalBytes) {
    freeBytes = 0;
    totalBytes = 0;
    const CudaRuntime& r = runtime();
    if (!r.setDevice || !r.memGetInfo || r.setDevice(index) != 0) return false;
    size_t free = 0, total = 0;
    if (r.memGetInfo(&free, &total) != 0) return false;
    freeBytes = free;
    totalBytes = total;
    return true;
}

int cudaRuntimeVersion() {
    const CudaRuntime& r = runtime();
    int version = 0;
    if (!r.runtimeVersion || r.runtimeVersion(&version) != 0) return 0;
    return version;
}

int cudaDriverVersion() {
    const CudaRuntime& r = runtime();
    int version = 0;
    if (!r.driverVersion || r.driverVersion(&version) != 0) return 0;
    return version;
}
