// Facts about the machine that the server reports to others. Safe for
// concurrent use; every function answers something even when the source is
// missing.
#pragma once

#include <cstdint>
#include <string>

// Total physical memory in bytes (/proc/meminfo "MemTotal"); 0 when unknown.
uint64_t totalPhysicalMemoryBytes();

// The operating system's name as /etc/os-release gives it (PRETTY_NAME, else
// NAME and VERSION_ID); "Linux" when the file is missing.
std::string operatingSystemName();

// This machine's host name; empty when the system reports none.
std::string localHostName();
