// The display adapters of the product report: PCI display devices with
// their vendor named as the report knows it.
#pragma once

#include <string>
#include <vector>

#include "platform/pci_display.h"

struct GraphicsAdapter {
    std::string vendor;     // "nvidia", "intel", "amd" or "other"
    std::string name;       // database names, else the numeric ids "vvvv:dddd"
    double memoryGB = 0.0;  // dedicated memory, one decimal; 0 when not reported
};

// "nvidia" for 0x10DE, "intel" for 0x8086, "amd" for 0x1002 and 0x1022,
// "other" for any other vendor id.
std::string adapterVendorOf(unsigned vendorId);

// One adapter per device, in the same order.
std::vector<GraphicsAdapter> adaptersFromPci(const std::vector<PciDisplayDevice>& devices);

// adaptersFromPci(listPciDisplayDevices(roots)). Never throws.
std::vector<GraphicsAdapter> detectGraphicsAdapters(const SystemRoots& roots);
