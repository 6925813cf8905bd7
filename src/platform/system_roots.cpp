#include "platform/system_roots.h"

#include <cstdio>

#include "platform/file_io.h"

bool readSmallTextFile(const std::string& path, std::string& text) {
    // /proc files report a size of 0, so read until the end instead of
    // asking for the size first.
    FILE* file = openStreamCloexec(path, "r");
    if (!file) return false;
    text.clear();
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, got);
        if (text.size() > (16u << 20)) break;  // no system file is this large
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}
