// Where the system probes read the machine's facts. The defaults are the live
// file systems; tests point them at fixture trees so every probe runs over
// files they wrote.
#pragma once

#include <string>
#include <vector>

struct SystemRoots {
    std::string proc = "/proc";  // stat, cpuinfo, meminfo, driver/nvidia/version
    std::string sys = "/sys";    // bus/pci/devices
    std::string etc = "/etc";    // os-release
    // The PCI id databases tried in order; the first that opens names devices.
    std::vector<std::string> pciIds = {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"};
    // The folders searched for installed shared libraries; empty means the
    // dynamic linker's usual ones (defaultLibraryDirs).
    std::vector<std::string> libraryDirs;
};

// The whole of a small text file (a /proc or /sys entry), or false when it
// cannot be opened or read. Never throws.
bool readSmallTextFile(const std::string& path, std::string& text);
