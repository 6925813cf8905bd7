// The version of the loaded NVIDIA kernel driver, from
// /proc/driver/nvidia/version (present only while the driver is loaded).
#pragma once

#include <string>

// The version number of the "NVRM version:" line of `text`, e.g.
// "535.129.03"; "" when there is none.
std::string parseNvidiaDriverVersion(const std::string& text);

// parseNvidiaDriverVersion of procRoot + "/driver/nvidia/version"; "" when
// the file is absent or unreadable. Never throws.
std::string readNvidiaDriverVersion(const std::string& procRoot);
