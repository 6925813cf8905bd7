// Libraries loaded at run time (dlopen). A loaded library stays loaded for
// the life of the process: the handles are never closed, so function
// pointers taken from them stay valid. Safe for concurrent use.
#pragma once

#include <string>

// Loads the library at `path` (resolving every symbol now). Returns its
// handle, or null with `error` set to the loader's text.
void* loadDynamicLibrary(const std::string& path, std::string& error);

// The address of `name` in `library`, or null when it has none.
void* findLibrarySymbol(void* library, const char* name);
