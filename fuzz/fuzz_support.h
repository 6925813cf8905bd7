// What the fuzz targets share: a scratch folder of the fuzzing process for
// inputs that the code under test reads as files. Header-only; each target is
// a single-threaded libFuzzer program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace fuzz {

// A folder of this process under TMPDIR (or /tmp), made at the first call and
// removed when the process exits normally. A fuzzer that crashes leaves it.
inline const std::string& scratchDir() {
    // Never destroyed: the exit handler below still reads it.
    static const std::string* dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/brisvane-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        auto* made = new std::string(pattern);
        std::atexit([] {
            if (std::system(("rm -rf '" + scratchDir() + "'").c_str()) != 0) std::fputs("scratch folder left\n", stderr);
        });
        return made;
    }();
    return *dir;
}

// Writes the input as scratchDir()/name (replacing what was there) and returns
// its path. Aborts when it cannot: a fuzz run must not go on without its file.
inline std::string writeScratchFile(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = scratchDir() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
    return path;
}

}  // namespace fuzz
