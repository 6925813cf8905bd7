#include "platform/dynamic_library.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// dlerror's text is per thread but shared by every dl call on it; one lock
// keeps a call and the text that explains it together.
std::mutex& loaderMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

void* loadDynamicLibrary(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(loaderMutex());
    ::dlerror();
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* text = ::dlerror();
        error = text ? text : "unknown error";
    }
    return library;
}

void* findLibrarySymbol(void* library, const char* name) {
    if (!library) return nullptr;
    return ::dlsym(library, name);
}
