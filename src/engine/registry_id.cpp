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

bool isContainedRegistryId(const std::string& id) {
    if (id.empty() || id == "." || id == "..") return false;
    for (const char c : id) {
        if (c == '/' || c == '\\' || c == '\0') return false;
    }
    return true;
}
