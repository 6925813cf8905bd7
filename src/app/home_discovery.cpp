#include "app/home_discovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/executable_path.h"

namespace fs = std::filesystem;

namespace {
bool entryExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec)) || fs::exists(path, ec);
}
}  // namespace

int discoverHome(bool confGiven, std::string* source) { return discoverHome(confGiven, executablePath(), source); }

int discoverHome(bool confGiven, const std::string& executable, std::string* source) {
    const char* home = std::getenv("BRISVANE_HOME");
    if (home && *home) {
        std::error_code ec;
        if (!fs::is_directory(home, ec)) {
            std::fprintf(stderr, "[ERROR] BRISVANE_HOME is not a directory: %s\n", home);
            return 1011;
        }
        if (::chdir(home) != 0) {
            std::fprintf(stderr, "[ERROR] cannot change to BRISVANE_HOME: %s (%s)\n", home, std::strerror(errno));
            return 1011;
        }
        *source = "BRISVANE_HOME";
        return 0;
    }
    if (confGiven) {
        *source = "cwd (--conf)";
        return 0;
    }
    if (entryExists("conf/serv.conf")) {
        *source = "cwd";
        return 0;
    }
    if (!executable.empty()) {
        const fs::path exeDir = fs::path(executable).parent_path();
        const std::pair<fs::path, const char*> candidates[] = {{exeDir, "exe dir"},
                                                               {exeDir.parent_path(), "exe parent dir"}};
        for (const auto& [dir, name] : candidates) {
            if (dir.empty() || !entryExists(dir / "conf" / "serv.conf")) continue;
            if (::chdir(dir.c_str()) == 0) {
                *source = name;
                return 0;
            }
        }
    }
    *source = "cwd (no conf found)";
    return 0;
}
