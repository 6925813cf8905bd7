// File store throughput: save and read 256 MiB as 1 MiB files into a plain
// and an encrypted store, and list a store of 10,000 files. Prints MB/s and
// the encrypted/plain ratios measured in the same run.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/file_store.h"
#include "storage/storage_format.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Figures {
    double saveMBs = 0;
    double readMBs = 0;
};

// Saves and reads the files into a plain and an encrypted store in turns, one
// file of each kind after the other, so that a busy machine disturbs both
// kinds alike; each kind's time is summed over its own calls. Reads make
// three passes.
void run(const std::string& folder, size_t files, size_t fileSize, Figures& plain, Figures& encrypted) {
    FileStore stores[2];
    StorageKey keys[2];
    for (int k = 0; k < 2; ++k) {
        stores[k].configure(folder + (k ? "/enc.kvx" : "/plain.kvx"), k == 1);
        keys[k] = stores[k].open("bench-token", true);
    }
    std::vector<uint8_t> data(fileSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);

    std::vector<std::string> names[2];
    double saveSeconds[2] = {0, 0}, readSeconds[2] = {0, 0};
    for (size_t i = 0; i < files; ++i) {
        data[0] = static_cast<uint8_t>(i);
        for (int k = 0; k < 2; ++k) {
            const auto start = Clock::now();
            names[k].push_back(stores[k].saveGeneratedFile("bench", "bin", std::span<const uint8_t>(data), keys[k]));
            saveSeconds[k] += secondsSince(start);
        }
    }
    const int passes = 3;
    size_t total[2] = {0, 0};
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t i = 0; i < files; ++i) {
            for (int k = 0; k < 2; ++k) {
                const auto start = Clock::now();
                total[k] += stores[k].read(names[k][i], keys[k]).size();
                readSeconds[k] += secondsSince(start);
            }
        }
    }
    const double megabytes = static_cast<double>(files * fileSize) / 1048576.0;
    Figures* out[2] = {&plain, &encrypted};
    for (int k = 0; k < 2; ++k) {
        if (total[k] != passes * files * fileSize) std::fprintf(stderr, "read back %zu bytes\n", total[k]);
        out[k]->saveMBs = megabytes / saveSeconds[k];
        out[k]->readMBs = passes * megabytes / readSeconds[k];
        stores[k].truncate();
    }
}

// Writes a plain container whose index names `count` empty files directly
// with the format's encoders (adding them one by one would rewrite the index
// 10,000 times, which measures something else).
void writeLargeIndex(const std::string& path, size_t count) {
    IndexRecord record;
    record.nextRecordId = count + 1;
    for (size_t i = 0; i < count; ++i) {
        StorageEntry e;
        char name[32];
        std::snprintf(name, sizeof(name), "file-%06zu.png", i);
        e.name = name;
        e.contentType = "image/png";
        e.dataOffset = kHeaderSize;
        e.recordId = i + 1;
        e.timeMs = 1700000000000ull + i;
        record.entries.push_back(e);
    }
    const Bytes plain = encodeIndex(record);
    Bytes file = encodeHeader(StorageHeader{});
    const auto slot = encodeSlot(1, kHeaderSize, plain.size() + kSealOverhead);
    std::copy(slot.begin(), slot.end(), file.begin() + kSlotAOffset);
    file.resize(file.size() + 12, 0);
    file.insert(file.end(), plain.begin(), plain.end());
    file.resize(file.size() + 16, 0);
    FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
}

}  // namespace

int main() {
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base && *base ? base : "/tmp") + "/store-bench-XXXXXX";
    if (!::mkdtemp(folder.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const size_t files = 256, fileSize = 1048576;
    std::printf("store_bench: %zu files of %zu bytes (256 MiB) per store, plain and encrypted in turns, reads in 3 passes\n", files, fileSize);
    Figures plain, encrypted;
    run(folder, files, fileSize, plain, encrypted);
    std::printf("plain:     save %8.1f MB/s   read %8.1f MB/s\n", plain.saveMBs, plain.readMBs);
    std::printf("encrypted: save %8.1f MB/s   read %8.1f MB/s\n", encrypted.saveMBs, encrypted.readMBs);
    std::printf("ratio encrypted/plain: save %.2fx   read %.2fx   (target >= 0.70x)\n",
                encrypted.saveMBs / plain.saveMBs, encrypted.readMBs / plain.readMBs);

    const std::string listPath = folder + "/list.kvx";
    writeLargeIndex(listPath, 10000);
    FileStore store;
    store.configure(listPath, false);
    const auto openStart = Clock::now();
    store.open("", false);
    const double openMs = secondsSince(openStart) * 1000;
    const auto listStart = Clock::now();
    const size_t listed = store.list().size();
    const double listMs = secondsSince(listStart) * 1000;
    std::printf("list of %zu files: %.2f ms (opening the store and loading its index: %.2f ms)\n", listed, listMs,
                openMs);
    store.truncate();
    std::filesystem::remove_all(folder);
    return 0;
}
