#include "platform/pci_display.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace {

// A sysfs number such as "0x10de\n"; false when it is not hexadecimal.
bool readHexFile(const std::string& path, unsigned long& value) {
    std::string text;
    if (!readSmallTextFile(path, text)) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 16);
    return end != text.c_str();
}

bool parseHexId(const std::string& text, uint16_t& id) {
    if (text.size() < 4) return false;
    char* end = nullptr;
    const std::string digits = text.substr(0, 4);
    const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
    if (end != digits.c_str() + 4) return false;
    id = static_cast<uint16_t>(value);
    return true;
}

std::string nameAfterId(const std::string& line, size_t idEnd) {
    const size_t start = line.find_first_not_of(" \t", idEnd);
    if (start == std::string::npos) return "";
    std::string name = line.substr(start);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    return name;
}

}  // namespace

void namePciDevices(const std::string& database, std::vector<PciDisplayDevice>& devices) {
    if (devices.empty()) return;
    std::istringstream lines(database);
    std::string line;
    uint16_t vendor = 0;
    bool inVendor = false;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] != '\t') {
            // A new vendor, or the class section ("C xx") at the end.
            inVendor = parseHexId(line, vendor);
            if (!inVendor) {
                if (line[0] == 'C' && line.size() > 1 && line[1] == ' ') break;
                continue;
            }
            const std::string name = nameAfterId(line, 4);
            for (PciDisplayDevice& device : devices) {
                if (device.vendorId == vendor) device.vendorName = name;
            }
            continue;
        }
        // "\tdddd  Name" is a device; "\t\tssss ssss  Name" a subsystem.
        if (!inVendor || line.size() < 2 || line[1] == '\t') continue;
        uint16_t id = 0;
        if (!parseHexId(line.substr(1), id)) continue;
        for (PciDisplayDevice& device : devices) {
            if (device.vendorId == vendor && device.deviceId == id) device.deviceName = nameAfterId(line, 5);
        }
    }
}

std::vector<PciDisplayDevice> listPciDisplayDevices(const SystemRoots& roots) {
    std::vector<PciDisplayDevice> devices;
    const std::filesystem::path base = std::filesystem::path(roots.sys) / "bus/pci/devices";
    std::error_code ec;
    std::filesystem::directory_iterator it(base, ec);
    if (ec) return devices;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const std::string folder = it->path().string();
        unsigned long deviceClass = 0, vendor = 0, device = 0;
        if (!readHexFile(folder + "/class", deviceClass) || (deviceClass >> 16) != 0x03) continue;
        if (!readHexFile(folder + "/vendor", vendor) || !readHexFile(folder + "/device", device)) continue;
        PciDisplayDevice entry;
        entry.address = it->path().filename().string();
        entry.vendorId = static_cast<uint16_t>(vendor);
        entry.deviceId = static_cast<uint16_t>(device);
        std::string vram;
        if (readSmallTextFile(folder + "/mem_info_vram_total", vram)) {
            entry.dedicatedBytes = std::strtoull(vram.c_str(), nullptr, 10);
        }
        devices.push_back(std::move(entry));
    }
    std::sort(devices.begin(), devices.end(),
              [](const PciDisplayDevice& a, const PciDisplayDevice& b) { return a.address < b.address; });
    for (const std::string& path : roots.pciIds) {
        std::string database;
        if (devices.empty() || !readSmallTextFile(path, database)) continue;
        namePciDevices(database, devices);
        break;
    }
    return devices;
}
