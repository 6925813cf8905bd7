#include "platform/installed_libraries.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/loaded_modules.h"

namespace fs = std::filesystem;

std::vector<std::string> defaultLibraryDirs() {
#if defined(__x86_64__)
    const std::string multiarch = "x86_64-linux-gnu";
#elif defined(__aarch64__)
    const std::string multiarch = "aarch64-linux-gnu";
#else
    const std::string multiarch;
#endif
    std::vector<std::string> dirs;
    if (!multiarch.empty()) {
        dirs.push_back("/usr/lib/" + multiarch);
        dirs.push_back("/lib/" + multiarch);
    }
    for (const char* dir : {"/usr/local/lib", "/usr/lib64", "/lib64", "/usr/lib", "/lib"}) dirs.push_back(dir);
    return dirs;
}

std::string installedLibraryPath(const std::string& namePrefix, const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) {
        std::error_code ec;
        std::vector<std::string> names;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.compare(0, namePrefix.size(), namePrefix) == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const fs::path path = fs::path(dir) / name;
            std::error_code linkError;
            const fs::path resolved = fs::canonical(path, linkError);
            if (linkError || !fs::is_regular_file(resolved, linkError)) continue;
            // The resolved file carries the version ("libx.so" is only a link
            // to it, which may also dangle when the library is gone).
            if (sharedObjectVersion(resolved.string()).empty()) continue;
            return resolved.string();
        }
    }
    return "";
}
