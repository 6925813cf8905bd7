#include "desktop/desktop_loader.h"

#include "platform/dynamic_library.h"
#include "platform/executable_path.h"

bool loadDesktopShell(DesktopShellLibrary* shell, std::string* error) {
    const std::string path = executableDir() + "/" + kDesktopLibraryName;
    std::string loadError;
    void* library = loadDynamicLibrary(path, loadError);
    if (!library) {
        *error = loadError;
        return false;
    }
    shell->run = reinterpret_cast<DesktopRunFn>(findLibrarySymbol(library, kDesktopRunSymbol));
    shell->requestQuit = reinterpret_cast<DesktopRequestQuitFn>(findLibrarySymbol(library, kDesktopRequestQuitSymbol));
    if (!shell->run || !shell->requestQuit) {
        *error = path + ": entry points missing";
        return false;
    }
    return true;
}
