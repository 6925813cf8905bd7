#include "sysinfo/os_info.h"

OsInfo classifyOs(const OsRelease& release, const KernelIdentity& kernel) {
    OsInfo info;
    if (!release.prettyName.empty()) {
        info.name = release.prettyName;
    } else if (!release.name.empty()) {
        info.name = release.name + (release.versionId.empty() ? "" : " " + release.versionId);
    } else if (!kernel.sysname.empty()) {
        info.name = kernel.sysname;
    } else {
        info.name = "Linux";
    }
    info.version = !release.versionId.empty() ? release.versionId : !kernel.release.empty() ? kernel.release : "0";

    if (!release.found && kernel.sysname.empty()) {
        info.support = "unknown";
    } else if (!kernel.machine.empty() && kernel.machine != "x86_64") {
        info.support = "unsupported";
    } else if (release.id == "debian" && (release.versionId == "12" || release.versionId.rfind("12.", 0) == 0)) {
        info.support = "official";
    } else {
        info.support = "best_effort";
    }
    return info;
}

OsInfo detectOsInfo(const SystemRoots& roots) { return classifyOs(readOsRelease(roots.etc), readKernelIdentity()); }
