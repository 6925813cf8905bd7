#include "sysinfo/graphics_adapters.h"

#include <cstdio>

#include "sysinfo/gb_figures.h"

std::string adapterVendorOf(unsigned vendorId) {
    switch (vendorId) {
        case 0x10DE: return "nvidia";
        case 0x8086: return "intel";
        case 0x1002:
        case 0x1022: return "amd";
        default: return "other";
    }
}

std::vector<GraphicsAdapter> adaptersFromPci(const std::vector<PciDisplayDevice>& devices) {
    std::vector<GraphicsAdapter> adapters;
    for (const PciDisplayDevice& device : devices) {
        GraphicsAdapter adapter;
        adapter.vendor = adapterVendorOf(device.vendorId);
        if (!device.deviceName.empty()) {
            adapter.name = device.vendorName.empty() ? device.deviceName : device.vendorName + " " + device.deviceName;
        } else {
            char ids[16];
            std::snprintf(ids, sizeof(ids), "%04x:%04x", device.vendorId, device.deviceId);
            adapter.name = device.vendorName.empty() ? ids : device.vendorName + " " + ids;
        }
        adapter.memoryGB = gbRounded(device.dedicatedBytes);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

std::vector<GraphicsAdapter> detectGraphicsAdapters(const SystemRoots& roots) {
    return adaptersFromPci(listPciDisplayDevices(roots));
}
