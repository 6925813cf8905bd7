// Desktop or headless: whether brisvanesrv shows its tray icon and windows.
#pragma once

#include <vector>

struct ProcessMode {
    bool desktop = false;
    // The arguments for the server (the program name first), without the
    // "--headless" switch, which the server does not know.
    std::vector<char*> serverArgs;
};

// Headless when an argument after the program name is exactly "--headless",
// or when neither DISPLAY nor WAYLAND_DISPLAY is set to a non-empty value;
// desktop otherwise. The returned pointers are argv's own.
ProcessMode chooseProcessMode(int argc, char** argv);
