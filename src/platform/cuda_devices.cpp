#include "platform/cuda_devices.h"

#include <dlfcn.h>

#include <cstring>

namespace {

using GetCountFn = int (*)(int*);
using GetPropertiesFn = int (*)(void*, int);

struct CudaRuntime {
    GetCountFn getCount = nullptr;
    GetPropertiesFn getProperties = nullptr;
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
        return r;
    }();
    return loaded;
}

// cudaDeviceProp of CUDA 12 begins with name[256], uuid (16 bytes), luid[8],
// luidDeviceNodeMask (4 bytes) and then totalGlobalMem (size_t, aligned).
constexpr size_t kNameOffset = 0;
constexpr size_t kNameSize = 256;
constexpr size_t kTotalMemoryOffset = 288;
constexpr size_t kPropertiesSize = 4096;  // larger than the struct of any CUDA 12

}  // namespace

int cudaDeviceCount() {
    const CudaRuntime& r = runtime();
    int count = 0;
    if (!r.getCount || r.getCount(&count) != 0 || count < 0) return 0;
    return count;
}

std::vector<CudaDeviceInfo> listCudaDevices() {
    std::vector<CudaDeviceInfo> devices;
    const CudaRuntime& r = runtime();
    const int count = cudaDeviceCount();
    if (count < 1 || !r.getProperties) return devices;
    for (int k = 0; k < count; ++k) {
        alignas(8) unsigned char properties[kPropertiesSize] = {};
        if (r.getProperties(properties, k) != 0) return {};
        CudaDeviceInfo info;
        info.name.assign(reinterpret_cast<const char*>(properties + kNameOffset),
                         strnlen(reinterpret_cast<const char*>(properties + kNameOffset), kNameSize));
        std::memcpy(&info.totalMemoryBytes, properties + kTotalMemoryOffset, sizeof(size_t));
        devices.push_back(std::move(info));
    }
    return devices;
}
