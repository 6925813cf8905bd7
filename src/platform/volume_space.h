// Space on the volume that holds a path (statvfs).
#pragma once

#include <cstdint>
#include <string>

struct VolumeSpace {
    bool known = false;           // false: the query failed, all figures 0
    uint64_t capacityBytes = 0;
    uint64_t freeBytes = 0;       // free in all
    uint64_t availableBytes = 0;  // free for an unprivileged process
};

// The space of the volume of `path` (relative to the working directory when
// not absolute). Never throws; safe from any thread.
VolumeSpace queryVolumeSpace(const std::string& path);
