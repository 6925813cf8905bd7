// Helpers of the storage tests: deterministic contents and raw access to a
// container file, so tests can inspect and damage the bytes on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/file_store_exception.h"
#include "storage/storage_format.h"

// `size` bytes that depend on `seed` and on the position.
std::vector<uint8_t> patternBytes(size_t size, uint32_t seed);

std::vector<uint8_t> readWholeFile(const std::string& path);
uint64_t fileSizeOf(const std::string& path);
// Overwrites bytes at `offset` (the file must be long enough).
void patchFile(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// XORs the byte at `offset` with `mask`.
void flipByte(const std::string& path, uint64_t offset, uint8_t mask = 0x01);
void truncateFile(const std::string& path, uint64_t size);

// The published slot of a container file, decoded from its header (A unless
// B is usable and newer).
IndexSlot currentSlot(const std::string& path);

// Rewrites the slot at `slotOffset` (128 or 160) so that its record CRC
// matches the index record it names as the bytes now are: a damaged record
// then reaches the checks behind the CRC.
void matchRecordCrc(const std::string& path, uint64_t slotOffset);

// Runs `fn` and returns the FileStoreException it throws; fails the test
// when it throws nothing or something else.
template <typename Fn>
FileStoreException expectStoreError(Fn&& fn) {
    try {
        fn();
    } catch (const FileStoreException& e) {
        return e;
    } catch (const std::exception& e) {
        return FileStoreException(-1, std::string("unexpected exception: ") + e.what());
    }
    return FileStoreException(-1, "no exception");
}
