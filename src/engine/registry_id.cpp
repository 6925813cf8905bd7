#include "engine/registry_id.h"

bool isValidRegistryId(const std::string& id) {
    if (id.empty() || id.size() > 128 || id == "." || id == "..") return false;
    for (const char c : id) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool isModelFolderId(const std::string& id) {
    if (id.size() > 255 || !isContainedRegistryId(id)) return false;
    const bool drive = id.size() >= 2 && id[1] == ':' &&
                       ((id[0] >= 'A' && id[0] <= 'Z') || (id[0] >= 'a' && id[0] <= 'z'));
    return !drive;
}

bool isContainedRegistryId(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    for (const char c : id) {
        if (c == '/' || c == '\\' || c == '\0') return false;
    }
    return true;
}
