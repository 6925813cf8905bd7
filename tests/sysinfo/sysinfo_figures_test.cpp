// The figures of the system reports: GB rounding, CUDA capability rules, the
// OS support level, adapter vendors and the JSON figure builders.
#include <gtest/gtest.h>

#include "sysinfo/cuda_arch.h"
#include "sysinfo/gb_figures.h"
#include "sysinfo/graphics_adapters.h"
#include "sysinfo/os_info.h"
#include "sysinfo/system_figures.h"
#include "sysinfo/system_status.h"

namespace {

constexpr uint64_t kGiB = 1ull << 30;

TEST(GbFigures, RoundHalfAwayFromZeroToOneDecimal) {
    const std::pair<double, double> cases[] = {
        {0.25, 0.3}, {0.75, 0.8}, {1.25, 1.3}, {-0.25, -0.3}, {0.24, 0.2}, {2.0, 2.0}, {0.0, 0.0},
    };
    for (const auto& [x, expected] : cases) EXPECT_DOUBLE_EQ(roundToTenth(x), expected) << x;

    EXPECT_DOUBLE_EQ(gbRounded(kGiB + kGiB / 4), 1.3);
    EXPECT_DOUBLE_EQ(gbRounded(kGiB / 20 - 1), 0.0) << "just below 0.05 GB";
    EXPECT_DOUBLE_EQ(gbRounded(34145366835ull), 31.8);
    // "Used" converts both figures before subtracting: 16.0 - 5.25 = 10.75 -> 10.8.
    EXPECT_DOUBLE_EQ(gbDifferenceRounded(16 * kGiB, 5 * kGiB + kGiB / 4), 10.8);
}

TEST(CudaArch, CapabilityRulesAndVersionTexts) {
    EXPECT_EQ(parseCudaArchList(), (std::vector<int>{52, 61, 70, 75, 80, 86, 89, 90}));
    EXPECT_EQ(parseCudaArchList("52,x,,61,1234567890123,-3, 70"), (std::vector<int>{52, 61}));

    const std::vector<int> archs = parseCudaArchList();
    const std::pair<int, const char*> cases[] = {
        {52, "supported"}, {50, "unsupported"}, {90, "supported"}, {100, "ptx"}, {120, "ptx"},
        {87, "supported"}, {37, "unsupported"}, {61, "supported"}, {60, "unsupported"},
    };
    for (const auto& [cc, support] : cases) EXPECT_EQ(archSupportOf(cc, archs), support) << cc;
    EXPECT_EQ(archSupportOf(30, {}), "supported");

    const std::pair<int, const char*> versions[] = {
        {12040, "12.4"}, {12000, "12.0"}, {11080, "11.8"}, {0, ""}, {-5, ""}, {12090, "12.9"},
    };
    for (const auto& [version, text] : versions) EXPECT_EQ(cudaVersionText(version), text) << version;
}

TEST(OsInfo, SupportLevels) {
    struct Case {
        const char* what;
        OsRelease release;
        KernelIdentity kernel;
        const char* name;
        const char* version;
        const char* support;
    };
    const KernelIdentity x86{"Linux", "6.1.0-18-amd64", "x86_64"};
    const Case cases[] = {
        {"debian 12", {true, "debian", "Debian GNU/Linux", "Debian GNU/Linux 12 (bookworm)", "12"}, x86,
         "Debian GNU/Linux 12 (bookworm)", "12", "official"},
        {"debian 12 point", {true, "debian", "Debian GNU/Linux", "", "12.5"}, x86, "Debian GNU/Linux 12.5", "12.5",
         "official"},
        {"debian 11", {true, "debian", "Debian GNU/Linux", "Debian GNU/Linux 11 (bullseye)", "11"}, x86,
         "Debian GNU/Linux 11 (bullseye)", "11", "best_effort"},
        {"ubuntu", {true, "ubuntu", "Ubuntu", "Ubuntu 22.04.4 LTS", "22.04"}, x86, "Ubuntu 22.04.4 LTS", "22.04",
         "best_effort"},
        {"arm", {true, "debian", "Debian GNU/Linux", "Debian GNU/Linux 12 (bookworm)", "12"},
         {"Linux", "6.1.0", "aarch64"}, "Debian GNU/Linux 12 (bookworm)", "12", "unsupported"},
        {"no os-release", {}, x86, "Linux", "6.1.0-18-amd64", "best_effort"},
        {"nothing known", {}, {}, "Linux", "0", "unknown"},
    };
    for (const Case& c : cases) {
        const OsInfo info = classifyOs(c.release, c.kernel);
        EXPECT_EQ(info.platform, "linux") << c.what;
        EXPECT_EQ(info.name, c.name) << c.what;
        EXPECT_EQ(info.version, c.version) << c.what;
        EXPECT_EQ(info.support, c.support) << c.what;
    }
}

TEST(GraphicsAdapters, VendorsAndNames) {
    const std::pair<unsigned, const char*> vendors[] = {
        {0x10DE, "nvidia"}, {0x8086, "intel"}, {0x1002, "amd"}, {0x1022, "amd"}, {0x1AF4, "other"}, {0, "other"},
    };
    for (const auto& [id, vendor] : vendors) EXPECT_EQ(adapterVendorOf(id), vendor) << id;

    std::vector<PciDisplayDevice> devices(3);
    devices[0] = {"0000:01:00.0", 0x10de, 0x2204, "NVIDIA Corporation", "GA102 [GeForce RTX 3090]", 0};
    devices[1] = {"0000:03:00.0", 0x1002, 0x73bf, "", "", 17163091968ull};
    devices[2] = {"0000:00:02.0", 0x8086, 0x9a49, "Intel Corporation", "", 0};
    const std::vector<GraphicsAdapter> adapters = adaptersFromPci(devices);
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(adapters[0].name, "NVIDIA Corporation GA102 [GeForce RTX 3090]");
    EXPECT_EQ(adapters[1].vendor, "amd");
    EXPECT_EQ(adapters[1].name, "1002:73bf");
    EXPECT_DOUBLE_EQ(adapters[1].memoryGB, 16.0);
    EXPECT_EQ(adapters[2].name, "Intel Corporation 8086:9a49");
}

TEST(SystemFigures, MemoryDiskAndCpu) {
    MemoryStatus memory;
    memory.known = true;
    memory.totalBytes = 16 * kGiB;
    memory.availableBytes = 5 * kGiB + kGiB / 4;
    memory.loadPercent = 67;
    EXPECT_EQ(memoryUsageJson(memory),
              nlohmann::json({{"totalGB", 16.0}, {"usedGB", 10.8}, {"freeGB", 5.3}, {"percent", 67}}));
    EXPECT_EQ(memoryUsageJson(MemoryStatus()),
              nlohmann::json({{"totalGB", 0.0}, {"usedGB", 0.0}, {"freeGB", 0.0}, {"percent", 0}}));

    VolumeSpace space;
    space.known = true;
    space.capacityBytes = 100 * kGiB;
    space.freeBytes = 30 * kGiB;
    space.availableBytes = 25 * kGiB + kGiB / 4;
    EXPECT_EQ(diskUsageJson("models", space),
              nlohmann::json({{"modelDirPath", "models"}, {"totalGB", 100.0}, {"usedGB", 74.8}, {"freeGB", 25.3}}));
    const nlohmann::json unknown = diskUsageJson("my models", VolumeSpace());
    EXPECT_EQ(unknown.dump(), R"({"freeGB":0,"modelDirPath":"my models","totalGB":0,"usedGB":0})")
        << "integer zeros when the volume cannot be queried";

    EXPECT_EQ(cpuUsageJson(-1.0, 8).dump(), R"({"coreCount":8,"percent":null})");
    EXPECT_EQ(cpuUsageJson(37.25, 8)["percent"], 37.3);
    EXPECT_EQ(cpuUsageJson(0.0, 8)["percent"], 0.0);

    ProcessorInfo info;
    info.logicalCount = 8;
    EXPECT_EQ(cpuInfoJson(info, 3),
              nlohmann::json({{"name", "Unknown"}, {"coreCount", 8}, {"threadCount", 8}, {"allocatedCoreCount", 3}}));
    info.modelName = "AMD EPYC 7B13";
    EXPECT_EQ(cpuInfoJson(info, 0)["allocatedCoreCount"], 8);
    EXPECT_EQ(cpuInfoJson(info, 0)["name"], "AMD EPYC 7B13");
}

TEST(SystemFigures, GpuUsageAndSpec) {
    std::vector<GpuUsageSample> samples(3);
    samples[0] = {"RTX A", 24 * kGiB, 6 * kGiB};
    samples[1] = {"", 0, 0};                     // the device query failed
    samples[2] = {"RTX B", 3 * kGiB, 2 * kGiB};  // 33.3 % truncated to 33
    const nlohmann::json usage = gpuUsageJson(samples);
    ASSERT_EQ(usage.size(), 3u);
    EXPECT_EQ(usage[0], nlohmann::json({{"index", 0},
                                        {"name", "RTX A"},
                                        {"computePercent", 0},
                                        {"memoryTotalGB", 24.0},
                                        {"memoryFreeGB", 6.0},
                                        {"memoryUsedGB", 18.0},
                                        {"memoryPercent", 75}}));
    EXPECT_EQ(usage[1]["memoryPercent"], 0);
    EXPECT_EQ(usage[2]["memoryPercent"], 33);
    EXPECT_EQ(usage[2]["index"], 2);

    std::vector<CudaDeviceInfo> devices(1);
    devices[0].name = "RTX A";
    devices[0].totalMemoryBytes = 24 * kGiB;
    EXPECT_EQ(gpuSpecJson(devices)[0], nlohmann::json({{"index", 0},
                                                       {"name", "RTX A"},
                                                       {"memoryTotalGB", 24.0},
                                                       {"driverVersion", ""},
                                                       {"cudaVersion", ""}}));
    // This machine has no CUDA runtime: both live lists are empty.
    if (cudaDeviceCount() == 0) {
        EXPECT_EQ(gpuUsageJson(), nlohmann::json::array());
        EXPECT_EQ(gpuSpecJson(), nlohmann::json::array());
    }
}

TEST(SystemStatus, UptimeTexts) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "00:00:00"}, {-7, "00:00:00"}, {59, "00:00:59"}, {3661, "01:01:01"}, {100 * 3600 + 5, "100:00:05"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(formatUptime(seconds), text) << seconds;
}

}  // namespace
