#include "desktop/process_mode.h"

#include <cstdlib>
#include <cstring>

namespace {

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

ProcessMode chooseProcessMode(int argc, char** argv) {
    ProcessMode mode;
    bool headless = false;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
            continue;
        }
        mode.serverArgs.push_back(argv[i]);
    }
    mode.serverArgs.push_back(nullptr);
    mode.desktop = !headless && hasDisplay();
    return mode;
}
