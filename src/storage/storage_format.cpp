#include "storage/storage_format.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "storage/storage_crypto.h"

namespace {

constexpr char kMagic[] = "KVXSTOR1";

bool nameByteAllowed(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The smallest encoding of one entry: name of 1 byte, empty content type.
constexpr size_t kMinEntryBytes = 2 + 1 + 2 + 8 * 4;

}  // namespace

bool isValidFileName(const std::string& name) {
    if (name.empty() || name.size() > kMaxFileNameLength) return false;
    if (name[0] == '.') return false;
    if (name.find("..") != std::string::npos) return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return nameByteAllowed(static_cast<unsigned char>(c)); });
}

uint64_t sealedFileSize(uint64_t size) { return size + (size + kChunkSize - 1) / kChunkSize * kSealOverhead; }

std::array<uint8_t, 16> chunkAad(uint64_t recordId, uint64_t index) {
    std::array<uint8_t, 16> aad{};
    storeU64Le(aad.data(), recordId);
    storeU64Le(aad.data() + 8, index);
    return aad;
}

Bytes encodeHeader(const StorageHeader& header) {
    Bytes out(kHeaderSize, 0);
    std::memcpy(out.data(), kMagic, 8);
    storeU32Le(out.data() + 8, header.version);
    storeU32Le(out.data() + 12, header.flags);
    std::memcpy(out.data() + 16, header.salt.data(), 32);
    std::memcpy(out.data() + 48, header.wrappedKey.data(), 32);
    std::memcpy(out.data() + 80, header.keyNonce.data(), 12);
    std::memcpy(out.data() + 92, header.keyTag.data(), 16);
    return out;
}

bool headerHasMagic(const uint8_t* header) { return std::memcmp(header, kMagic, 8) == 0; }

StorageHeader decodeHeaderFields(const uint8_t* header) {
    StorageHeader h;
    h.version = loadU32Le(header + 8);
    h.flags = loadU32Le(header + 12);
    std::memcpy(h.salt.data(), header + 16, 32);
    std::memcpy(h.wrappedKey.data(), header + 48, 32);
    std::memcpy(h.keyNonce.data(), header + 80, 12);
    std::memcpy(h.keyTag.data(), header + 92, 16);
    return h;
}

std::array<uint8_t, kSlotSize> encodeSlot(uint64_t generation, uint64_t indexOffset, uint64_t indexLength,
                                          uint32_t recordCrc) {
    std::array<uint8_t, kSlotSize> slot{};
    storeU64Le(slot.data(), generation);
    storeU64Le(slot.data() + 8, indexOffset);
    storeU64Le(slot.data() + 16, indexLength);
    storeU32Le(slot.data() + 24, crc32Ieee(slot.data(), 24));
    storeU32Le(slot.data() + 28, recordCrc);
    return slot;
}

IndexSlot decodeSlot(const uint8_t* slot) {
    IndexSlot s;
    s.generation = loadU64Le(slot);
    s.indexOffset = loadU64Le(slot + 8);
    s.indexLength = loadU64Le(slot + 16);
    s.recordCrc = loadU32Le(slot + 28);
    s.crcOk = loadU32Le(slot + 24) == crc32Ieee(slot, 24);
    return s;
}

bool isSlotUsable(const IndexSlot& slot, uint64_t fileSize) {
    if (!slot.crcOk || slot.generation == 0) return false;
    if (slot.indexOffset == 0 && slot.indexLength == 0) return true;
    return slot.indexOffset >= kHeaderSize && slot.indexLength >= kSealOverhead &&
           rangeInside(slot.indexOffset, slot.indexLength, fileSize);
}

std::optional<int> chooseSlot(const IndexSlot& a, const IndexSlot& b, uint64_t fileSize) {
    const bool aOk = isSlotUsable(a, fileSize);
    const bool bOk = isSlotUsable(b, fileSize);
    if (bOk && (!aOk || b.generation > a.generation)) return 1;
    if (aOk) return 0;
    return std::nullopt;
}

Bytes encodeIndex(const IndexRecord& record) {
    Bytes out;
    appendU64Le(out, record.nextRecordId);
    appendU32Le(out, static_cast<uint32_t>(record.entries.size()));
    for (const StorageEntry& e : record.entries) {
        appendU16Le(out, static_cast<uint16_t>(e.name.size()));
        out.insert(out.end(), e.name.begin(), e.name.end());
        const size_t typeLength = std::min(e.contentType.size(), kMaxContentTypeLength);
        appendU16Le(out, static_cast<uint16_t>(typeLength));
        out.insert(out.end(), e.contentType.begin(), e.contentType.begin() + static_cast<std::ptrdiff_t>(typeLength));
        appendU64Le(out, e.size);
        appendU64Le(out, e.timeMs);
        appendU64Le(out, e.dataOffset);
        appendU64Le(out, e.recordId);
    }
    return out;
}

IndexDecodeResult decodeIndex(const uint8_t* data, size_t size, uint64_t fileSize, IndexRecord& out) {
    ByteReader reader(data, size);
    IndexRecord record;
    record.nextRecordId = reader.u64();
    const uint32_t count = reader.u32();
    if (reader.failed()) return IndexDecodeResult::kTruncated;
    // The count is untrusted: reserve only what the remaining bytes can hold.
    record.entries.reserve(std::min<size_t>(count, reader.remaining() / kMinEntryBytes));
    for (uint32_t i = 0; i < count; ++i) {
        StorageEntry e;
        e.name = reader.readLengthPrefixed();
        e.contentType = reader.readLengthPrefixed();
        e.size = reader.u64();
        e.timeMs = reader.u64();
        e.dataOffset = reader.u64();
        e.recordId = reader.u64();
        if (reader.failed()) return IndexDecodeResult::kTruncated;
        if (!isValidFileName(e.name) || e.size > kMaxStoredFileSize || e.dataOffset < kHeaderSize ||
            !rangeInside(e.dataOffset, sealedFileSize(e.size), fileSize)) {
            return IndexDecodeResult::kInvalidEntry;
        }
        // Only the writer's own cut applies; a longer stored type is cut the same way.
        if (e.contentType.size() > kMaxContentTypeLength) e.contentType.resize(kMaxContentTypeLength);
        record.entries.push_back(std::move(e));
    }
    std::stable_sort(record.entries.begin(), record.entries.end(),
                     [](const StorageEntry& a, const StorageEntry& b) { return a.name < b.name; });
    if (record.nextRecordId == 0) record.nextRecordId = 1;
    out = std::move(record);
    return IndexDecodeResult::kOk;
}

bool ByteReader::take(size_t n, const uint8_t** p) {
    if (failed_ || n > size_ - pos_) {
        failed_ = true;
        return false;
    }
    *p = data_ + pos_;
    pos_ += n;
    return true;
}

uint16_t ByteReader::u16() {
    const uint8_t* p = nullptr;
    return take(2, &p) ? loadU16Le(p) : 0;
}

uint32_t ByteReader::u32() {
    const uint8_t* p = nullptr;
    return take(4, &p) ? loadU32Le(p) : 0;
}

uint64_t ByteReader::u64() {
    const uint8_t* p = nullptr;
    return take(8, &p) ? loadU64Le(p) : 0;
}

std::string ByteReader::readLengthPrefixed() {
    const uint16_t n = u16();
    const uint8_t* p = nullptr;
    if (!take(n, &p)) return {};
    return std::string(reinterpret_cast<const char*>(p), n);
}
