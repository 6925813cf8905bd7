#include "storage/storage_test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "storage/storage_crypto.h"

std::vector<uint8_t> patternBytes(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x);
    }
    return out;
}

std::vector<uint8_t> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t fileSizeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

void patchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot patch " + path);
}

void flipByte(const std::string& path, uint64_t offset, uint8_t mask) {
    const std::vector<uint8_t> all = readWholeFile(path);
    if (offset >= all.size()) throw std::runtime_error("offset past end of " + path);
    patchFile(path, offset, {static_cast<uint8_t>(all[offset] ^ mask)});
}

void truncateFile(const std::string& path, uint64_t size) {
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) throw std::runtime_error("cannot truncate " + path);
}

IndexSlot currentSlot(const std::string& path) {
    const std::vector<uint8_t> all = readWholeFile(path);
    if (all.size() < kHeaderSize) return {};
    const IndexSlot a = decodeSlot(all.data() + kSlotAOffset);
    const IndexSlot b = decodeSlot(all.data() + kSlotBOffset);
    const auto chosen = chooseSlot(a, b, all.size());
    if (!chosen) return {};
    return *chosen == 0 ? a : b;
}

void matchRecordCrc(const std::string& path, uint64_t slotOffset) {
    const std::vector<uint8_t> all = readWholeFile(path);
    const IndexSlot slot = decodeSlot(all.data() + slotOffset);
    const uint32_t crc = crc32Ieee(all.data() + slot.indexOffset, slot.indexLength);
    const auto bytes = encodeSlot(slot.generation, slot.indexOffset, slot.indexLength, crc);
    patchFile(path, slotOffset, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}
