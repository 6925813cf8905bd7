// Shared libraries loaded into this process, and the version their file
// names carry (libstdc++.so.6.0.30 is version 6.0.30).
#pragma once

#include <string>

// The full path of the first loaded module whose file name begins with
// `namePrefix` (e.g. "libstdc++.so"), links resolved; "" when none is
// loaded. Never loads anything. Safe from any thread.
std::string loadedModulePath(const std::string& namePrefix);

// The version digits after ".so." in the file name of `path`
// ("/usr/lib/x/libssl.so.3" gives "3"); "" when the name has none.
std::string sharedObjectVersion(const std::string& path);

// sharedObjectVersion(loadedModulePath(namePrefix)), with the path given to
// `path` when asked; "" (and the path left untouched) when not loaded.
std::string moduleVersionText(const std::string& namePrefix, std::string* path = nullptr);
