// Writes the seed corpus of fuzz_storage_open into the folder given as the
// only argument: a plain and an encrypted container (token "fuzz-token")
// with a few files, one of them over a chunk long, and an empty one. Each
// seed is the mode byte of the target (0 as is, 1 re-sealed slots) and the
// container. scripts/fuzz_seeds.sh runs it (with the kit for the GGUF
// seeds) when the container format changes; the seeds are committed.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "storage/storage_file.h"

namespace {

bool writeSeeds(const std::string& container, const std::string& out) {
    std::ifstream in(container, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char mode : {'\0', '\1'}) {
        std::ofstream seed(out + (mode ? "-resealed" : ""), std::ios::binary | std::ios::trunc);
        seed.put(mode);
        seed.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!seed) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_storage_seeds <corpus folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string scratch = folder + "/.scratch.kvx";
    bool ok = true;
    try {
        for (const char* kind : {"plain", "encrypted", "empty"}) {
            std::remove(scratch.c_str());
            StorageFile store;
            StorageKey key;
            if (std::string(kind) == "encrypted") {
                key = store.createEncrypted(scratch, "fuzz-token");
            } else {
                store.open(scratch);
                key = store.unlock("");
            }
            if (std::string(kind) != "empty") {
                store.write("notes.txt", std::string("hello store"), "", 1700000000000, key);
                store.write("big.bin", std::string(70000, 'b'), "application/octet-stream", 1700000000001, key);
                store.write("notes.txt", std::string("replaced"), "text/plain", 1700000000002, key);
                store.write("gone.txt", std::string("removed later"), "", 1700000000003, key);
                store.remove("gone.txt", key);
            }
            store.close();
            ok = writeSeeds(scratch, folder + "/" + kind) && ok;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_storage_seeds: %s\n", e.what());
        ok = false;
    }
    std::remove(scratch.c_str());
    return ok ? 0 : 1;
}
