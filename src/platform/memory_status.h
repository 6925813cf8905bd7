// Physical memory from /proc/meminfo.
#pragma once

#include <cstdint>
#include <string>

struct MemoryStatus {
    bool known = false;           // false: the figures below are all 0
    uint64_t totalBytes = 0;      // MemTotal
    uint64_t availableBytes = 0;  // MemAvailable (older kernels: free + buffers + cached)
    int loadPercent = 0;          // share in use, 0..100, rounded
};

// From `text` (the content of /proc/meminfo). Unknown when MemTotal is
// missing or 0.
MemoryStatus parseMemoryStatus(const std::string& text);

// parseMemoryStatus of procRoot + "/meminfo"; unknown when it cannot be read.
// Never throws; safe from any thread.
MemoryStatus readMemoryStatus(const std::string& procRoot);
