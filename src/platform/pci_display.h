// Display adapters on the PCI bus (/sys/bus/pci/devices, class 0x03xxxx),
// named from the PCI id database when one is installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/system_roots.h"

struct PciDisplayDevice {
    std::string address;          // the folder name, e.g. "0000:01:00.0"
    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    std::string vendorName;       // from the id database; "" when unknown
    std::string deviceName;       // from the id database; "" when unknown
    uint64_t dedicatedBytes = 0;  // video memory where the driver reports it (amdgpu); else 0
};

// The display-class devices under roots.sys + "/bus/pci/devices", sorted by
// address (the order the kernel enumerates them). Entries whose class,
// vendor or device file cannot be read are left out; a missing tree gives an
// empty list. Names come from the first of roots.pciIds that opens. Never
// throws.
std::vector<PciDisplayDevice> listPciDisplayDevices(const SystemRoots& roots);

// Looks up the names of `devices` in `database` (pci.ids syntax: vendor lines
// "vvvv  Name", device lines "\tdddd  Name", "#" comments). Ids that are not
// listed keep empty names.
void namePciDevices(const std::string& database, std::vector<PciDisplayDevice>& devices);
