// Shared libraries installed on the machine but not necessarily loaded: the
// folders the dynamic linker searches, looked at as files.
#pragma once

#include <string>
#include <vector>

// The folders a Debian system's dynamic linker searches for libraries of this
// architecture (multiarch first), in that order.
std::vector<std::string> defaultLibraryDirs();

// The full path, links resolved, of the first file in `dirs` (searched in
// order, each folder's names in byte order) whose name begins with
// `namePrefix` and that resolves to a regular file whose name carries a
// ".so." version (e.g. "libwebkit2gtk-4.1.so" finds
// libwebkit2gtk-4.1.so.0.19.9 through its links); "" when none does. Never loads anything; a folder that cannot be read is skipped.
std::string installedLibraryPath(const std::string& namePrefix, const std::vector<std::string>& dirs);
