// The figure builders of the system reports: processor, memory, GPUs and the
// models folder's volume, each a fresh JSON value (sorted keys). Each comes
// twice: a pure form over probe records (tested over fixtures) and a live
// form that runs the probes. All are safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/cuda_devices.h"
#include "platform/memory_status.h"
#include "platform/processor_info.h"
#include "platform/volume_space.h"

// One CUDA device as the live GPU figures see it.
struct GpuUsageSample {
    std::string name;  // "" when the property query failed
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
};

// {"percent": value with one decimal, or null when below 0, "coreCount"}.
nlohmann::json cpuUsageJson(double percent, int coreCount);
// The same from the process-wide sampler, which this starts on its first
// call (a failure to start it throws std::system_error; a later call tries
// again).
nlohmann::json cpuUsageJson();

// {"name" (the model name, "Unknown" when none), "coreCount", "threadCount"
// (both the logical count), "allocatedCoreCount"}.
nlohmann::json cpuInfoJson(const ProcessorInfo& info, int allocatedCount);
// The same from /proc/cpuinfo (read once per process) and the affinity mask.
nlohmann::json cpuInfoJson();

// {"totalGB", "usedGB", "freeGB", "percent"}; all 0 when unknown.
nlohmann::json memoryUsageJson(const MemoryStatus& status);
nlohmann::json memoryUsageJson();

// {"modelDirPath", "totalGB", "usedGB", "freeGB"}: used is capacity minus
// the space available to the process; the three figures are the integer 0
// when the volume could not be queried.
nlohmann::json diskUsageJson(const std::string& modelDirPath, const VolumeSpace& space);
// For the models folder `modelsDir`, relative to the working directory.
nlohmann::json diskUsageJson(const std::string& modelsDir);

// One object per device: "index", "name", "computePercent" (0),
// "memoryTotalGB", "memoryFreeGB", "memoryUsedGB", "memoryPercent" (integer,
// truncated; 0 for a zero total).
nlohmann::json gpuUsageJson(const std::vector<GpuUsageSample>& devices);
// The CUDA runtime's devices; [] without the runtime or a device. Makes each
// device in turn the calling thread's current device.
nlohmann::json gpuUsageJson();

// One object per device: "index", "name", "memoryTotalGB", "driverVersion"
// and "cudaVersion" (both "").
nlohmann::json gpuSpecJson(const std::vector<CudaDeviceInfo>& devices);
nlohmann::json gpuSpecJson();
