// The operating system as the product report shows it, and how well this
// build supports it: it is built and tested on Debian 12 for x86-64.
#pragma once

#include <string>

#include "platform/os_release.h"
#include "platform/system_roots.h"

struct OsInfo {
    std::string platform = "linux";
    std::string name;     // e.g. "Debian GNU/Linux 12 (bookworm)"
    std::string version;  // VERSION_ID, else the kernel release; "0" when neither is known
    std::string support;  // "official", "best_effort", "unsupported" or "unknown"
};

// From the two probes: the name is PRETTY_NAME, else NAME, else the kernel's
// sysname ("Linux"). Debian 12 on x86-64 is "official"; any other Linux on
// x86-64 "best_effort"; another processor architecture "unsupported" (the
// build's code needs x86-64); nothing known at all "unknown".
OsInfo classifyOs(const OsRelease& release, const KernelIdentity& kernel);

// classifyOs of roots.etc's os-release and uname. Never throws.
OsInfo detectOsInfo(const SystemRoots& roots);
