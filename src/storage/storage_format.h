// The bytes of a "KVXSTOR1" container: the 4096-byte header with its two
// CRC-guarded index slots, the sealed-record framing, the chunking of stored
// files and the index record. Pure encoders and decoders; the container
// (storage_file.h) does the I/O. All functions are safe for concurrent use.
//
// Every integer is unsigned little-endian; offsets are absolute positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline constexpr uint64_t kHeaderSize = 4096;
inline constexpr uint64_t kSlotAOffset = 128;
inline constexpr uint64_t kSlotBOffset = 160;
inline constexpr uint64_t kSlotSize = 32;
inline constexpr uint64_t kChunkSize = 65536;
inline constexpr uint64_t kSealOverhead = 28;  // nonce 12 + tag 16
inline constexpr uint64_t kMaxStoredFileSize = 2147483648ull;  // 2^31
inline constexpr size_t kMaxContentTypeLength = 255;
inline constexpr size_t kMaxFileNameLength = 128;
inline constexpr uint32_t kStorageVersion = 1;
inline constexpr uint32_t kFlagEncrypted = 1;

// Additional data of the index record and of the data-key wrap.
inline constexpr char kIndexAad[] = "KVXIDX";
inline constexpr char kKeyWrapAad[] = "KVXDEK";

// One entry of the index, as kept in memory.
struct StorageEntry {
    std::string name;
    std::string contentType;
    uint64_t size = 0;
    uint64_t timeMs = 0;
    uint64_t dataOffset = 0;
    uint64_t recordId = 0;
};

// The header fields that are not slots.
struct StorageHeader {
    uint32_t version = kStorageVersion;
    uint32_t flags = 0;
    std::array<uint8_t, 32> salt{};
    std::array<uint8_t, 32> wrappedKey{};
    std::array<uint8_t, 12> keyNonce{};
    std::array<uint8_t, 16> keyTag{};
};

// One index slot as decoded; `crcOk` says whether its CRC matched.
// `recordCrc` is the slot's last word: the CRC-32 of the sealed index record
// the slot names, so that a plain record (whose nonce and tag are zero) is
// checked as strictly as the slot itself. 0 means none was recorded (an
// empty index, or a slot written before the word was used; readers that do
// not know it ignore it).
struct IndexSlot {
    uint64_t generation = 0;
    uint64_t indexOffset = 0;
    uint64_t indexLength = 0;
    bool crcOk = false;
    uint32_t recordCrc = 0;
};

// The plaintext of an index record.
struct IndexRecord {
    uint64_t nextRecordId = 1;
    std::vector<StorageEntry> entries;
};

// Stored-file names: 1 to 128 bytes of ASCII letters, digits, ".", "_" and
// "-", not starting with "." and without "..". Compared as byte strings.
bool isValidFileName(const std::string& name);

// Bytes a stored file of `size` bytes takes in the container: the size plus
// 28 per 65,536-byte chunk. REQUIRES: size <= kMaxStoredFileSize (no overflow).
uint64_t sealedFileSize(uint64_t size);

// Whether [offset, offset + length) lies inside a file of `fileSize` bytes,
// computed so that no sum can wrap.
inline bool rangeInside(uint64_t offset, uint64_t length, uint64_t fileSize) {
    return length <= fileSize && offset <= fileSize - length;
}

// The 16-byte additional data of chunk `index` of record `recordId`: it binds
// every chunk to its file and position.
std::array<uint8_t, 16> chunkAad(uint64_t recordId, uint64_t index);

// The 4096-byte header with both slots zero.
Bytes encodeHeader(const StorageHeader& header);
// Whether the header begins with the magic "KVXSTOR1".
bool headerHasMagic(const uint8_t* header);
// Decodes the non-slot fields of a 4096-byte header. Does not check them.
StorageHeader decodeHeaderFields(const uint8_t* header);

// The 32 bytes of an index slot, CRC and record CRC included.
std::array<uint8_t, kSlotSize> encodeSlot(uint64_t generation, uint64_t indexOffset, uint64_t indexLength,
                                          uint32_t recordCrc = 0);
IndexSlot decodeSlot(const uint8_t* slot);

// A slot names a usable index when its CRC matches, its generation is not 0,
// and the index is either empty (offset and length 0) or lies after the
// header, is at least one sealed record long and ends inside the file.
bool isSlotUsable(const IndexSlot& slot, uint64_t fileSize);

// Which slot is in force: 0 for A, 1 for B, nullopt when neither is usable.
// A wins unless B is usable and strictly newer.
std::optional<int> chooseSlot(const IndexSlot& a, const IndexSlot& b, uint64_t fileSize);

// The plaintext of an index record with the entries in the given order.
// Content types longer than 255 bytes are cut.
Bytes encodeIndex(const IndexRecord& record);

// Outcome of decoding an index plaintext.
enum class IndexDecodeResult { kOk, kTruncated, kInvalidEntry };

// Decodes and checks an index plaintext against the container's size: every
// entry needs a valid name, a size of at most 2^31, a data offset after the
// header and its sealed bytes inside the file. Entries come back sorted by
// name; a stored next id of 0 becomes 1. Never allocates more than the input
// can describe, whatever the entry count claims.
IndexDecodeResult decodeIndex(const uint8_t* data, size_t size, uint64_t fileSize, IndexRecord& out);

// A bounds-checked cursor over a byte buffer. Any read past the end marks it
// failed and yields zeros / empty text; callers check failed() once at the end.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    // A 2-byte length, then that many bytes.
    std::string readLengthPrefixed();
    bool failed() const { return failed_; }
    size_t remaining() const { return size_ - pos_; }

private:
    bool take(size_t n, const uint8_t** p);
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool failed_ = false;
};
