// Loading the desktop shell library, which brings GTK, WebKitGTK and the
// tray indicator into the process only in desktop mode.
#pragma once

#include <string>

#include "desktop/desktop_host.h"

struct DesktopShellLibrary {
    DesktopRunFn run = nullptr;
    DesktopRequestQuitFn requestQuit = nullptr;
};

// Loads kDesktopLibraryName from the executable's directory and finds its
// entry points. False with `error` set when the library or a symbol is
// missing (for example when the desktop packages are not installed). The
// library stays loaded for the life of the process.
bool loadDesktopShell(DesktopShellLibrary* shell, std::string* error);
