#include "platform/volume_space.h"

#include <sys/statvfs.h>

VolumeSpace queryVolumeSpace(const std::string& path) {
    VolumeSpace space;
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) return space;
    const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    space.known = true;
    space.capacityBytes = static_cast<uint64_t>(info.f_blocks) * unit;
    space.freeBytes = static_cast<uint64_t>(info.f_bfree) * unit;
    space.availableBytes = static_cast<uint64_t>(info.f_bavail) * unit;
    return space;
}
