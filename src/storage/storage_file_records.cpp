// StorageFile: positional I/O, record sealing, header and index reading,
// index publishing and chunked reads.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "storage/storage_crypto.h"
#include "storage/storage_file.h"
#include "storage/storage_file_internal.h"

using storage_internal::throwIo;
using storage_internal::throwKeyRequired;

namespace {

// Chunks moved per system call when reading or writing a stored file.
constexpr uint64_t kChunksPerBatch = 16;

}  // namespace

bool StorageFile::readAt(uint64_t offset, uint8_t* out, size_t size) const {
    while (size > 0) {
        const ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool StorageFile::writeAt(uint64_t offset, const uint8_t* data, size_t size) const {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool StorageFile::syncFile() const {
    // fdatasync also commits the file size, which every append changes.
    int rc;
    do {
        rc = ::fdatasync(fd_);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

namespace storage_internal {

void sealInto(bool encrypted, const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* plain,
              size_t size, uint8_t* out, const std::string& path) {
    std::memset(out, 0, kGcmIvSize);
    std::memset(out + kGcmIvSize + size, 0, kGcmTagSize);
    if (!encrypted) {
        if (size > 0) std::memcpy(out + kGcmIvSize, plain, size);
        return;
    }
    if (!dataKey) throwKeyRequired();
    if (!randomBytes(out, kGcmIvSize) ||
        !aesGcmEncrypt(dataKey, out, aad, aadSize, plain, size, out + kGcmIvSize, out + kGcmIvSize + size)) {
        throwIo("failed to encrypt storage record: " + path);
    }
}

// REQUIRES: sealedSize >= kSealOverhead.
void openInto(bool encrypted, const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* sealed,
              size_t sealedSize, uint8_t* out, const std::string& path) {
    const size_t size = sealedSize - kSealOverhead;
    const uint8_t* body = sealed + kGcmIvSize;
    const uint8_t* tag = body + size;
    if (encrypted) {
        if (!dataKey) throwKeyRequired();
        if (!aesGcmDecrypt(dataKey, sealed, aad, aadSize, body, size, tag, out))
            throwIo("corrupted storage record (authentication failed): " + path);
        return;
    }
    const auto isZero = [](const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); };
    if (!isZero(sealed, kGcmIvSize) || !isZero(tag, kGcmTagSize)) throwIo("corrupted storage record: " + path);
    if (size > 0) std::memcpy(out, body, size);
}

}  // namespace storage_internal

using storage_internal::openInto;
using storage_internal::sealInto;

Bytes StorageFile::sealRecord(const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const uint8_t* plain,
                              size_t size) const {
    Bytes out(size + kSealOverhead);
    sealInto((header_.flags & kFlagEncrypted) != 0, dataKey, aad, aadSize, plain, size, out.data(), path_);
    return out;
}

Bytes StorageFile::openRecord(const uint8_t* dataKey, const uint8_t* aad, size_t aadSize, const Bytes& sealed) const {
    if (sealed.size() < kSealOverhead) throwIo("corrupted storage record (too short): " + path_);
    Bytes out(sealed.size() - kSealOverhead);
    openInto((header_.flags & kFlagEncrypted) != 0, dataKey, aad, aadSize, sealed.data(), sealed.size(), out.data(),
             path_);
    return out;
}

void StorageFile::readHeader(const StorageKey* key) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throwIo("cannot read storage header: " + path_);
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (fileSize < kHeaderSize) throwIo("storage too small (not a storage file): " + path_);
    Bytes raw(kHeaderSize);
    if (!readAt(0, raw.data(), raw.size())) throwIo("cannot read storage header: " + path_);
    if (!headerHasMagic(raw.data())) throwIo("not a storage file (bad magic): " + path_);
    const StorageHeader header = decodeHeaderFields(raw.data());
    if (header.version != kStorageVersion)
        throwIo("unsupported storage version " + std::to_string(header.version) + ": " + path_);
    if (header.flags > kFlagEncrypted) throwIo("unsupported storage flags: " + path_);

    const IndexSlot slots[2] = {decodeSlot(raw.data() + kSlotAOffset), decodeSlot(raw.data() + kSlotBOffset)};
    const std::optional<int> chosen = chooseSlot(slots[0], slots[1], fileSize);
    if (!chosen) throwIo("storage index slots are corrupted: " + path_);
    const auto stateOf = [&](int i) {
        return PublishedState{slots[i].generation, slots[i].indexOffset, slots[i].indexLength, slots[i].recordCrc, i};
    };
    header_ = header;
    published_ = stateOf(*chosen);
    fileEnd_ = fileSize;
    entries_.clear();
    nextRecordId_ = 1;
    indexLoaded_ = false;

    if ((header_.flags & kFlagEncrypted) == 0) {
        readIndex(nullptr);
    } else if (key) {
        readIndex(key->dataKey.data());
    }
}

IndexRecord StorageFile::readIndexAt(const PublishedState& state, const uint8_t* dataKey) {
    IndexRecord record;
    if (state.indexLength == 0) return record;
    // The slot check bounded the length by the file size, so a crafted slot
    // cannot ask for more memory than the file holds.
    Bytes sealed(state.indexLength);
    if (!readAt(state.indexOffset, sealed.data(), sealed.size())) throwIo("cannot read storage index: " + path_);
    if ((header_.flags & kFlagEncrypted) == 0) {
        // A plain record has no tag: its slot's record CRC stands in, and
        // zeros (what a zero-filled record holds) are never an index, since
        // every index written carries a next record id of at least 1.
        const bool zeros = std::all_of(sealed.begin(), sealed.end(), [](uint8_t b) { return b == 0; });
        if (zeros || (state.recordCrc != 0 && crc32Ieee(sealed.data(), sealed.size()) != state.recordCrc))
            throwIo("corrupted storage record: " + path_);
    }
    const Bytes plain = openRecord(dataKey, reinterpret_cast<const uint8_t*>(kIndexAad), 6, sealed);
    switch (decodeIndex(plain.data(), plain.size(), fileEnd_, record)) {
        case IndexDecodeResult::kOk:
            return record;
        case IndexDecodeResult::kTruncated:
            throwIo("storage index is truncated: " + path_);
        case IndexDecodeResult::kInvalidEntry:
            break;
    }
    throwIo("storage index has an invalid entry: " + path_);
}

void StorageFile::readIndex(const uint8_t* dataKey) {
    IndexRecord record = readIndexAt(published_, dataKey);
    entries_ = std::move(record.entries);
    nextRecordId_ = record.nextRecordId;
    indexLoaded_ = true;
}

bool StorageFile::writeSlot(uint64_t slotOffset, uint64_t generation, uint64_t indexOffset, uint64_t indexLength,
                            uint32_t recordCrc) const {
    const auto slot = encodeSlot(generation, indexOffset, indexLength, recordCrc);
    return writeAt(slotOffset, slot.data(), slot.size());
}

void StorageFile::writeIndex(const uint8_t* dataKey) {
    IndexRecord record;
    record.nextRecordId = nextRecordId_;
    record.entries = entries_;
    const Bytes plain = encodeIndex(record);
    const Bytes sealed = sealRecord(dataKey, reinterpret_cast<const uint8_t*>(kIndexAad), 6, plain.data(), plain.size());

    const uint64_t offset = fileEnd_;
    // From here on the bytes may be named by a slot on disk even when a later
    // step fails, so they are never handed out again.
    fileEnd_ = offset + sealed.size();
    if (!writeAt(offset, sealed.data(), sealed.size()) || !passStep(StorageStep::kIndexWritten))
        throwIo("failed to write storage: " + path_);
    if (!syncFile() || !passStep(StorageStep::kIndexSynced)) throwIo("failed to write storage: " + path_);

    const uint64_t generation = published_.generation + 1;
    // Write the slot that is not in force, so the other still names the
    // previous index; with none in force, odd generations go to slot A.
    int target;
    if (published_.activeSlot == 0) {
        target = 1;
    } else if (published_.activeSlot == 1) {
        target = 0;
    } else {
        target = (generation % 2 == 1) ? 0 : 1;
    }
    const uint32_t recordCrc = crc32Ieee(sealed.data(), sealed.size());
    if (!writeSlot(target == 0 ? kSlotAOffset : kSlotBOffset, generation, offset, sealed.size(), recordCrc) ||
        !passStep(StorageStep::kSlotWritten) || !syncFile() || !passStep(StorageStep::kSlotSynced)) {
        throwIo("failed to update storage slot: " + path_);
    }
    published_ = PublishedState{generation, offset, sealed.size(), recordCrc, target};
}

void StorageFile::readChunks(const uint8_t* dataKey, const StorageEntry& entry, uint64_t offset,
                                   uint64_t length, uint8_t* out) {
    if (length == 0) return;
    const bool encrypted = (header_.flags & kFlagEncrypted) != 0;
    const uint64_t sealedChunk = kChunkSize + kSealOverhead;
    const uint64_t first = offset / kChunkSize;
    const uint64_t last = (offset + length - 1) / kChunkSize;
    Bytes sealed;
    Bytes plain(kChunkSize);
    for (uint64_t batch = first; batch <= last; batch += kChunksPerBatch) {
        const uint64_t batchEnd = std::min(last + 1, batch + kChunksPerBatch);
        const uint64_t begin = batch * sealedChunk;
        const uint64_t end = std::min(sealedFileSize(entry.size), batchEnd * sealedChunk);
        sealed.resize(end - begin);
        if (!readAt(entry.dataOffset + begin, sealed.data(), sealed.size()))
            throwIo("failed to read storage: " + entry.name);
        for (uint64_t i = batch; i < batchEnd; ++i) {
            const uint64_t chunkStart = i * kChunkSize;
            const uint64_t chunkLength = std::min(kChunkSize, entry.size - chunkStart);
            const auto aad = chunkAad(entry.recordId, i);
            const uint64_t from = std::max(offset, chunkStart);
            const uint64_t to = std::min(offset + length, chunkStart + chunkLength);
            // A chunk wholly inside the range is opened straight into the output.
            const bool whole = from == chunkStart && to == chunkStart + chunkLength;
            openInto(encrypted, dataKey, aad.data(), aad.size(), sealed.data() + (i - batch) * sealedChunk,
                     chunkLength + kSealOverhead, whole ? out + (from - offset) : plain.data(), path_);
            if (!whole) std::memcpy(out + (from - offset), plain.data() + (from - chunkStart), to - from);
        }
    }
}
