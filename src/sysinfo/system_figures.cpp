#include "sysinfo/system_figures.h"

#include <algorithm>
#include <cmath>

#include "sysinfo/cpu_sampler.h"
#include "sysinfo/gb_figures.h"

nlohmann::json cpuUsageJson(double percent, int coreCount) {
    nlohmann::json cpu = nlohmann::json::object();
    cpu["percent"] = percent < 0.0 ? nlohmann::json() : nlohmann::json(roundToTenth(percent));
    cpu["coreCount"] = coreCount;
    return cpu;
}

nlohmann::json cpuUsageJson() {
    CpuSampler& sampler = processCpuSampler();
    sampler.start();
    return cpuUsageJson(sampler.percent(), onlineProcessorCount());
}

nlohmann::json cpuInfoJson(const ProcessorInfo& info, int allocatedCount) {
    nlohmann::json cpu = nlohmann::json::object();
    cpu["name"] = info.modelName.empty() ? "Unknown" : info.modelName;
    cpu["coreCount"] = info.logicalCount;
    cpu["threadCount"] = info.logicalCount;
    cpu["allocatedCoreCount"] = allocatedCount > 0 ? allocatedCount : info.logicalCount;
    return cpu;
}

nlohmann::json cpuInfoJson() {
    // The processors do not change while the program runs; only the affinity
    // mask may.
    static const ProcessorInfo info = readProcessorInfo("/proc");
    return cpuInfoJson(info, affinityProcessorCount(info.logicalCount));
}

nlohmann::json memoryUsageJson(const MemoryStatus& status) {
    nlohmann::json memory = nlohmann::json::object();
    memory["totalGB"] = gbRounded(status.totalBytes);
    memory["usedGB"] = gbDifferenceRounded(status.totalBytes, status.availableBytes);
    memory["freeGB"] = gbRounded(status.availableBytes);
    memory["percent"] = status.loadPercent;
    return memory;
}

nlohmann::json memoryUsageJson() { return memoryUsageJson(readMemoryStatus("/proc")); }

nlohmann::json diskUsageJson(const std::string& modelDirPath, const VolumeSpace& space) {
    nlohmann::json storage = nlohmann::json::object();
    storage["modelDirPath"] = modelDirPath;
    if (!space.known) {
        storage["totalGB"] = 0;
        storage["usedGB"] = 0;
        storage["freeGB"] = 0;
        return storage;
    }
    storage["totalGB"] = gbRounded(space.capacityBytes);
    storage["usedGB"] = gbRounded(space.capacityBytes - std::min(space.capacityBytes, space.availableBytes));
    storage["freeGB"] = gbRounded(space.availableBytes);
    return storage;
}

nlohmann::json diskUsageJson(const std::string& modelsDir) {
    return diskUsageJson(modelsDir, queryVolumeSpace(modelsDir));
}

nlohmann::json gpuUsageJson(const std::vector<GpuUsageSample>& devices) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t k = 0; k < devices.size(); ++k) {
        const GpuUsageSample& device = devices[k];
        nlohmann::json gpu = nlohmann::json::object();
        gpu["index"] = static_cast<int>(k);
        gpu["name"] = device.name;
        gpu["computePercent"] = 0;
        gpu["memoryTotalGB"] = gbRounded(device.totalBytes);
        gpu["memoryFreeGB"] = gbRounded(device.freeBytes);
        gpu["memoryUsedGB"] = gbDifferenceRounded(device.totalBytes, device.freeBytes);
        const uint64_t used = device.totalBytes - std::min(device.totalBytes, device.freeBytes);
        gpu["memoryPercent"] =
            device.totalBytes == 0 ? 0 : static_cast<int>(static_cast<double>(used) / device.totalBytes * 100.0);
        list.push_back(std::move(gpu));
    }
    return list;
}

nlohmann::json gpuUsageJson() {
    std::vector<GpuUsageSample> samples;
    int count = 0;
    if (!queryCudaDeviceCount(count)) return nlohmann::json::array();
    for (int k = 0; k < count; ++k) {
        GpuUsageSample sample;
        CudaDeviceInfo info;
        if (queryCudaDevice(k, info)) sample.name = info.name;
        queryCudaDeviceMemory(k, sample.freeBytes, sample.totalBytes);
        samples.push_back(std::move(sample));
    }
    return gpuUsageJson(samples);
}

nlohmann::json gpuSpecJson(const std::vector<CudaDeviceInfo>& devices) {
    nlohmann::json list = nlohmann::json::array();
    for (size_t k = 0; k < devices.size(); ++k) {
        nlohmann::json gpu = nlohmann::json::object();
        gpu["index"] = static_cast<int>(k);
        gpu["name"] = devices[k].name;
        gpu["memoryTotalGB"] = gbRounded(devices[k].totalMemoryBytes);
        gpu["driverVersion"] = "";
        gpu["cudaVersion"] = "";
        list.push_back(std::move(gpu));
    }
    return list;
}

nlohmann::json gpuSpecJson() {
    std::vector<CudaDeviceInfo> devices;
    int count = 0;
    if (!queryCudaDeviceCount(count)) return nlohmann::json::array();
    for (int k = 0; k < count; ++k) {
        CudaDeviceInfo info;
        queryCudaDevice(k, info);  // a failed query leaves an empty name and 0 memory
        devices.push_back(std::move(info));
    }
    return gpuSpecJson(devices);
}
