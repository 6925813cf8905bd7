// The Linux system probes over fixture trees: /proc/stat, /proc/cpuinfo,
// /proc/meminfo, os-release, a fake /sys/bus/pci tree with a PCI id
// database, the NVIDIA driver's version file, and library folders.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/cuda_devices.h"
#include "platform/installed_libraries.h"
#include "platform/loaded_modules.h"
#include "platform/memory_status.h"
#include "platform/nvidia_driver.h"
#include "platform/os_release.h"
#include "platform/pci_display.h"
#include "platform/processor_info.h"
#include "platform/processor_times.h"
#include "platform/volume_space.h"
#include "support/temp_dir.h"

namespace {

void writeFixture(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeTextFile(path, content);
}

// Two readings of /proc/stat one interval apart: 400 ticks passed, 100 of
// them idle or waiting for I/O, so the processors were 75 % busy.
const char kStatBefore[] =
    "cpu  1000 0 500 8000 200 0 0 0 0 0\n"
    "cpu0 500 0 250 4000 100 0 0 0 0 0\n"
    "intr 12345\n";
const char kStatAfter[] =
    "cpu  1200 50 550 8080 220 0 0 0 40 0\n"
    "cpu0 600 25 275 4040 110 0 0 0 20 0\n";

TEST(ProcessorTimes, BusyShareOfTwoStatReadings) {
    TempDir dir;
    ProcessorTimes before, after;
    writeFixture(dir.file("stat"), kStatBefore);
    ASSERT_TRUE(readProcessorTimes(dir.path(), before));
    writeFixture(dir.file("stat"), kStatAfter);
    ASSERT_TRUE(readProcessorTimes(dir.path(), after));
    EXPECT_EQ(before.total, 9700u);
    EXPECT_EQ(before.idle, 8200u);
    // Guest time (the 40) is already inside user time and is not counted twice.
    EXPECT_EQ(after.total, 10100u);
    EXPECT_DOUBLE_EQ(busyPercentBetween(before, after), 75.0);
}

TEST(ProcessorTimes, EdgeCases) {
    ProcessorTimes times;
    EXPECT_FALSE(parseProcessorTimes("cpu0 1 2 3 4\n", times)) << "only per-processor lines";
    EXPECT_FALSE(parseProcessorTimes("cpu  1 2 3\n", times)) << "too few fields";
    EXPECT_TRUE(parseProcessorTimes("cpu  1 2 3 4\n", times)) << "old kernels have four fields";
    EXPECT_EQ(times.total, 10u);
    EXPECT_EQ(times.idle, 4u);
    TempDir empty;
    EXPECT_FALSE(readProcessorTimes(empty.path(), times));

    struct Case {
        ProcessorTimes before, after;
        double percent;
    };
    const Case cases[] = {
        {{100, 50}, {100, 50}, -1.0},   // no time passed: no figure
        {{200, 50}, {100, 40}, -1.0},   // counters went back
        {{100, 50}, {200, 150}, 0.0},   // all idle
        {{100, 50}, {200, 50}, 100.0},  // all busy
        {{100, 20}, {200, 130}, 0.0},   // idle grew faster than the total: clamped
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(busyPercentBetween(c.before, c.after), c.percent)
            << c.before.total << "/" << c.before.idle << " -> " << c.after.total << "/" << c.after.idle;
    }
}

TEST(ProcessorInfo, NameAndCountFromCpuinfo) {
    TempDir dir;
    std::string text;
    for (int k = 0; k < 6; ++k) {
        text += "processor\t: " + std::to_string(k) +
                "\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU @ 2.20GHz  \ncpu cores\t: 3\n\n";
    }
    writeFixture(dir.file("cpuinfo"), text);
    const ProcessorInfo info = readProcessorInfo(dir.path());
    EXPECT_EQ(info.modelName, "Intel(R) Xeon(R) CPU @ 2.20GHz");
    EXPECT_EQ(info.logicalCount, 6);

    // Some architectures list no model name and no processor lines.
    const ProcessorInfo bare = parseProcessorInfo("Hardware\t: BCM2835\n");
    EXPECT_EQ(bare.modelName, "");
    EXPECT_EQ(bare.logicalCount, onlineProcessorCount());
    TempDir empty;
    EXPECT_EQ(readProcessorInfo(empty.path()).logicalCount, onlineProcessorCount());

    EXPECT_GE(affinityProcessorCount(-1), 1);
}

TEST(MemoryStatus, MeminfoVariants) {
    struct Case {
        const char* name;
        const char* text;
        bool known;
        uint64_t totalKib, availableKib;
        int percent;
    };
    const Case cases[] = {
        {"current kernel", "MemTotal:       16384000 kB\nMemFree:  1000000 kB\nMemAvailable:   4096000 kB\n", true,
         16384000, 4096000, 75},
        {"no MemAvailable", "MemTotal: 1000 kB\nMemFree: 100 kB\nBuffers: 50 kB\nCached: 150 kB\n", true, 1000, 300, 70},
        {"available above total", "MemTotal: 1000 kB\nMemAvailable: 2000 kB\n", true, 1000, 1000, 0},
        {"no total", "MemFree: 100 kB\n", false, 0, 0, 0},
        {"zero total", "MemTotal: 0 kB\nMemAvailable: 0 kB\n", false, 0, 0, 0},
        {"empty", "", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const MemoryStatus status = parseMemoryStatus(c.text);
        EXPECT_EQ(status.known, c.known) << c.name;
        EXPECT_EQ(status.totalBytes, c.totalKib * 1024) << c.name;
        EXPECT_EQ(status.availableBytes, c.availableKib * 1024) << c.name;
        EXPECT_EQ(status.loadPercent, c.percent) << c.name;
    }
    TempDir dir;
    EXPECT_FALSE(readMemoryStatus(dir.path()).known);
    writeFixture(dir.file("meminfo"), cases[0].text);
    EXPECT_EQ(readMemoryStatus(dir.path()).totalBytes, 16384000ull * 1024);
}

TEST(OsRelease, Variants) {
    struct Case {
        const char* name;
        const char* text;
        const char* id;
        const char* osName;
        const char* pretty;
        const char* version;
    };
    const Case cases[] = {
        {"debian 12",
         "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
         "VERSION=\"12 (bookworm)\"\nID=debian\n",
         "debian", "Debian GNU/Linux", "Debian GNU/Linux 12 (bookworm)", "12"},
        {"ubuntu", "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nID=ubuntu\nID_LIKE=debian\nPRETTY_NAME=\"Ubuntu 22.04.4 LTS\"\n",
         "ubuntu", "Ubuntu", "Ubuntu 22.04.4 LTS", "22.04"},
        {"quotes, escapes and comments",
         "# comment\n  \nNAME='Single Quoted'\nPRETTY_NAME=\"Say \\\"hi\\\" \\$x\"\r\nID=x\nVERSION_ID=1\n", "x",
         "Single Quoted", "Say \"hi\" $x", "1"},
        {"rolling release without version", "NAME=\"Arch Linux\"\nID=arch\n", "arch", "Arch Linux", "", ""},
    };
    for (const Case& c : cases) {
        const OsRelease release = parseOsRelease(c.text);
        EXPECT_TRUE(release.found) << c.name;
        EXPECT_EQ(release.id, c.id) << c.name;
        EXPECT_EQ(release.name, c.osName) << c.name;
        EXPECT_EQ(release.prettyName, c.pretty) << c.name;
        EXPECT_EQ(release.versionId, c.version) << c.name;
    }
    EXPECT_FALSE(parseOsRelease("garbage without keys\n").found);

    // The file in /etc first, else the vendor copy under /usr/lib.
    TempDir root;
    const std::string etc = root.file("etc");
    std::filesystem::create_directories(etc);
    EXPECT_FALSE(readOsRelease(etc).found);
    writeFixture(root.file("usr/lib/os-release"), "ID=fallback\n");
    EXPECT_EQ(readOsRelease(etc).id, "fallback");
    writeFixture(root.file("etc/os-release"), "ID=primary\n");
    EXPECT_EQ(readOsRelease(etc).id, "primary");

    const KernelIdentity kernel = readKernelIdentity();
    EXPECT_EQ(kernel.sysname, "Linux");
    EXPECT_FALSE(kernel.machine.empty());
}

// A fake /sys/bus/pci tree: NVIDIA, AMD (with amdgpu's VRAM file) and Intel
// display adapters, a bridge that is not a display device, and an entry
// whose files cannot be read.
class PciTree : public ::testing::Test {
protected:
    void SetUp() override {
        roots_.sys = dir_.file("sys");
        roots_.pciIds = {dir_.file("missing.ids"), dir_.file("pci.ids")};
        device("0000:00:02.0", "0x030000", "0x8086", "0x9a49");
        device("0000:03:00.0", "0x030000", "0x1002", "0x73bf");
        writeFixture(dir_.file("sys/bus/pci/devices/0000:03:00.0/mem_info_vram_total"), "17163091968\n");
        device("0000:01:00.0", "0x030200", "0x10de", "0x2204");
        device("0000:00:00.0", "0x060000", "0x8086", "0x9a14");
        std::filesystem::create_directories(dir_.file("sys/bus/pci/devices/0000:05:00.0"));
    }

    void device(const std::string& address, const std::string& cls, const std::string& vendor,
                const std::string& id) {
        const std::string folder = dir_.file("sys/bus/pci/devices/" + address);
        writeFixture(folder + "/class", cls + "\n");
        writeFixture(folder + "/vendor", vendor + "\n");
        writeFixture(folder + "/device", id + "\n");
    }

    TempDir dir_;
    SystemRoots roots_;
};

const char kPciIds[] =
    "# pci.ids excerpt\n"
    "#\tcomment with a tab\n"
    "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
    "\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n"
    "\t\t1002 0e3a  Radeon RX 6900 XT\n"
    "10de  NVIDIA Corporation\n"
    "\t2204  GA102 [GeForce RTX 3090]\n"
    "8086  Intel Corporation\n"
    "\t9a14  11th Gen Core Processor Host Bridge\n"
    "C 03  Display controller\n"
    "\t00  VGA compatible controller\n";

TEST_F(PciTree, DisplayDevicesNamedFromTheDatabase) {
    writeFixture(dir_.file("pci.ids"), kPciIds);
    const std::vector<PciDisplayDevice> devices = listPciDisplayDevices(roots_);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].address, "0000:00:02.0");
    EXPECT_EQ(devices[0].vendorId, 0x8086);
    EXPECT_EQ(devices[0].vendorName, "Intel Corporation");
    EXPECT_EQ(devices[0].deviceName, "") << "9a49 is not in the excerpt";
    EXPECT_EQ(devices[1].address, "0000:01:00.0");
    EXPECT_EQ(devices[1].deviceId, 0x2204);
    EXPECT_EQ(devices[1].vendorName, "NVIDIA Corporation");
    EXPECT_EQ(devices[1].deviceName, "GA102 [GeForce RTX 3090]");
    EXPECT_EQ(devices[1].dedicatedBytes, 0u);
    EXPECT_EQ(devices[2].vendorId, 0x1002);
    EXPECT_EQ(devices[2].deviceName, "Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]") << "not the subsystem line";
    EXPECT_EQ(devices[2].dedicatedBytes, 17163091968u);
}

TEST_F(PciTree, WithoutDatabaseOrTree) {
    const std::vector<PciDisplayDevice> devices = listPciDisplayDevices(roots_);
    ASSERT_EQ(devices.size(), 3u);
    for (const PciDisplayDevice& device : devices) {
        EXPECT_EQ(device.vendorName, "");
        EXPECT_EQ(device.deviceName, "");
    }
    SystemRoots none;
    none.sys = dir_.file("nothing");
    EXPECT_TRUE(listPciDisplayDevices(none).empty());
}

TEST(NvidiaDriver, VersionFileVariants) {
    struct Case {
        const char* text;
        const char* version;
    };
    const Case cases[] = {
        {"NVRM version: NVIDIA UNIX x86_64 Kernel Module  535.129.03  Thu Oct 19 18:56:32 UTC 2023\n"
         "GCC version:  gcc version 12.2.0 (Debian 12.2.0-14)\n",
         "535.129.03"},
        {"NVRM version: NVIDIA UNIX Open Kernel Module for x86_64  550.54.14  Release Build  (dvs-builder@U16)\n",
         "550.54.14"},
        {"GCC version:  gcc version 12.2.0\n", ""},
        {"NVRM version: garbled\n", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(parseNvidiaDriverVersion(c.text), c.version) << c.text;
    TempDir proc;
    EXPECT_EQ(readNvidiaDriverVersion(proc.path()), "");
    writeFixture(proc.file("driver/nvidia/version"), cases[0].text);
    EXPECT_EQ(readNvidiaDriverVersion(proc.path()), "535.129.03");
}

TEST(LoadedModules, VersionsFromFileNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30", "6.0.30"},
        {"/usr/lib/libssl.so.3", "3"},
        {"libfoo.so", ""},
        {"/opt/libbar.so.1.beta", ""},
        {"/x.so.1/liby.so", ""},
    };
    for (const auto& [path, version] : cases) EXPECT_EQ(sharedObjectVersion(path), version) << path;

    // This test program runs on the C++ runtime, so that one is loaded.
    std::string path;
    const std::string version = moduleVersionText("libstdc++.so", &path);
    EXPECT_FALSE(version.empty());
    EXPECT_NE(path.find("libstdc++.so." + version), std::string::npos) << path;
    std::string untouched = "kept";
    EXPECT_EQ(moduleVersionText("libnothing-such.so", &untouched), "");
    EXPECT_EQ(untouched, "kept");
}

// Installed libraries are found as Debian lays them out: the versioned file,
// the soname link and the development link, in the multiarch folder; the
// first folder that has one wins, and links that lead nowhere are passed over.
TEST(InstalledLibraries, FindsTheVersionedFileThroughItsLinks) {
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string multiarch = dir.file("usr/lib/x86_64-linux-gnu");
    const std::string plain = dir.file("usr/lib");
    const std::string broken = dir.file("broken");
    const std::string empty = dir.file("empty");
    for (const std::string& folder : {multiarch, plain, broken, empty}) fs::create_directories(folder);
    writeTextFile(multiarch + "/libwebkit2gtk-4.1.so.0.19.9", "elf");
    fs::create_symlink("libwebkit2gtk-4.1.so.0.19.9", multiarch + "/libwebkit2gtk-4.1.so.0");
    fs::create_symlink("libwebkit2gtk-4.1.so.0", multiarch + "/libwebkit2gtk-4.1.so");
    writeTextFile(multiarch + "/libwebkit2gtk-4.0.so.37.1", "elf");
    writeTextFile(plain + "/libwebkit2gtk-4.1.so.0.1.0", "older copy");
    fs::create_symlink("libwebkit2gtk-4.1.so.0.0.0", broken + "/libwebkit2gtk-4.1.so.0");
    writeTextFile(broken + "/libwebkit2gtk-4.1.so", "not versioned");

    const std::string found = fs::canonical(multiarch + "/libwebkit2gtk-4.1.so.0.19.9").string();
    struct Case {
        std::vector<std::string> dirs;
        std::string path;
    } cases[] = {
        {{multiarch, plain}, found},
        {{empty, dir.file("missing"), multiarch}, found},
        {{plain, multiarch}, fs::canonical(plain + "/libwebkit2gtk-4.1.so.0.1.0").string()},
        {{broken, multiarch}, found},
        {{broken, empty}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(installedLibraryPath("libwebkit2gtk-4.1.so", c.dirs), c.path) << ::testing::PrintToString(c.dirs);
    }
    EXPECT_EQ(sharedObjectVersion(installedLibraryPath("libwebkit2gtk-4.1.so", {multiarch})), "0.19.9");
    EXPECT_EQ(installedLibraryPath("libnothing-such.so", defaultLibraryDirs()), "");
    // This test program runs on the C++ runtime: it is installed where the
    // default folders look.
    EXPECT_NE(installedLibraryPath("libstdc++.so", defaultLibraryDirs()), "");
}

TEST(VolumeSpace, KnownAndUnknown) {
    TempDir dir;
    const VolumeSpace space = queryVolumeSpace(dir.path());
    EXPECT_TRUE(space.known);
    EXPECT_GT(space.capacityBytes, 0u);
    EXPECT_LE(space.availableBytes, space.freeBytes);
    EXPECT_LE(space.freeBytes, space.capacityBytes);
    const VolumeSpace missing = queryVolumeSpace(dir.file("no/such/folder"));
    EXPECT_FALSE(missing.known);
    EXPECT_EQ(missing.capacityBytes, 0u);
}

TEST(CudaRuntime, AbsentRuntimeReportsNothing) {
    if (cudaDeviceCount() > 0) GTEST_SKIP() << "a CUDA device is present";
    int count = -1;
    queryCudaDeviceCount(count);
    EXPECT_EQ(count, 0);
    CudaDeviceInfo info;
    EXPECT_FALSE(queryCudaDevice(0, info));
    uint64_t freeBytes = 1, totalBytes = 1;
    EXPECT_FALSE(queryCudaDeviceMemory(0, freeBytes, totalBytes));
    EXPECT_EQ(freeBytes + totalBytes, 0u);
}

TEST(CudaRuntime, AnUnreadableDeviceIsSkippedNotTheList) {
    const auto names = [](const std::vector<CudaDeviceInfo>& devices) {
        std::string joined;
        for (const CudaDeviceInfo& device : devices) joined += device.name + "/" + std::to_string(device.totalMemoryBytes) + " ";
        return joined;
    };
    // Devices 0 and 2 answer; device 1 (lost, or held elsewhere) does not.
    std::vector<int> asked;
    const auto query = [&](int index, CudaDeviceInfo& info) {
        asked.push_back(index);
        if (index == 1) return false;
        info.name = "GPU" + std::to_string(index);
        info.totalMemoryBytes = 1000u + index;
        return true;
    };
    EXPECT_EQ(names(collectCudaDevices(3, query)), "GPU0/1000 GPU2/1002 ");
    EXPECT_EQ(asked, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(names(collectCudaDevices(0, query)), "");
    EXPECT_EQ(names(collectCudaDevices(2, [](int, CudaDeviceInfo&) { return false; })), "");
}

}  // namespace
