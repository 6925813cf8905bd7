// The file store container opening a file it did not write: the input is
// the container file. The slot CRCs make almost every mutation a torn slot,
// so when the first byte is odd the target first re-seals both slots over
// the mutated bytes (slot CRC and the CRC of the record each slot names),
// which lets mutations reach the index record and the stored chunks.
// After the open: unlock with the seeds' token, list, read and range-read
// every file, write one and remove another, then open the result again:
// the written file must be there. Every failure must be a FileStoreException.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/logger.h"
#include "fuzz_support.h"
#include "storage/file_store_exception.h"
#include "storage/storage_crypto.h"
#include "storage/storage_file.h"
#include "storage/storage_format.h"

namespace {

// The seeds' encrypted container was made under this token.
const char kToken[] = "fuzz-token";

void resealSlots(Bytes& file) {
    if (file.size() < kHeaderSize) return;
    for (uint64_t at : {kSlotAOffset, kSlotBOffset}) {
        const IndexSlot slot = decodeSlot(file.data() + at);
        uint32_t recordCrc = slot.recordCrc;
        if (slot.indexLength > 0 && rangeInside(slot.indexOffset, slot.indexLength, file.size())) {
            recordCrc = crc32Ieee(file.data() + slot.indexOffset, static_cast<size_t>(slot.indexLength));
        }
        const auto sealed = encodeSlot(slot.generation, slot.indexOffset, slot.indexLength, recordCrc);
        std::copy(sealed.begin(), sealed.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

// Returns true when a file was written and acknowledged.
bool exercise(StorageFile& store) {
    StorageKey key;
    try {
        key = store.unlock(kToken);
    } catch (const FileStoreException&) {
        return false;
    }
    for (const StoredFileInfo& info : store.list()) {
        try {
            const Bytes whole = store.read(info.name, key);
            if (whole.size() != info.size) std::abort();
            const Bytes part = store.readRange(info.name, 1, 70000, key);
            if (part.size() != (info.size > 1 ? std::min<uint64_t>(info.size - 1, 70000) : 0)) std::abort();
        } catch (const FileStoreException&) {
        }
    }
    try {
        store.write("fuzz-new.txt", std::string("written by the fuzzer"), "", 1, key);
    } catch (const FileStoreException&) {
        return false;
    }
    try {
        const std::vector<StoredFileInfo> files = store.list();
        if (files.size() > 1 && files.front().name != "fuzz-new.txt") store.remove(files.front().name, key);
    } catch (const FileStoreException&) {
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        setLogEnabled(false);
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    Bytes file(data + 1, data + size);
    if (data[0] & 1) resealSlots(file);
    IndexRecord record;
    (void)decodeIndex(file.data(), file.size(), file.size() + kHeaderSize, record);

    const std::string path = fuzz::writeScratchFile("storage.kvx", file.data(), file.size());
    StorageFile store;
    try {
        store.open(path);
    } catch (const FileStoreException&) {
        return 0;
    }
    const bool wrote = exercise(store);
    store.close();
    // A file the store acknowledged must be there after a new open.
    try {
        store.open(path);
        const StorageKey key = store.unlock(kToken);
        if (wrote && store.read("fuzz-new.txt", key).size() != 21) std::abort();
    } catch (const FileStoreException&) {
        if (wrote) std::abort();
    }
    return 0;
}
