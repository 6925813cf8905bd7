// The bytes of the container format: byte order, CRC, slots, names, index
// records and the layout of a new store.
#include <gtest/gtest.h>

#include <cstring>

#include "base/byte_order.h"
#include "storage/storage_crypto.h"
#include "storage/storage_file.h"
#include "storage/storage_format.h"
#include "storage/storage_test_util.h"
#include "support/temp_dir.h"

TEST(ByteOrder, AppendsLeastSignificantFirstAndReadsBack) {
    std::vector<uint8_t> out;
    appendU16Le(out, 0x0102);
    appendU32Le(out, 0x0A0B0C0Du);
    appendU64Le(out, 0x1122334455667788ull);
    const std::vector<uint8_t> expected = {0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0x88, 0x77,
                                           0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(loadU16Le(out.data()), 0x0102);
    EXPECT_EQ(loadU32Le(out.data() + 2), 0x0A0B0C0Du);
    EXPECT_EQ(loadU64Le(out.data() + 6), 0x1122334455667788ull);
    appendU32Le(out, 0xFFFFFFFFu);
    EXPECT_EQ(loadU32Le(out.data() + 14), 0xFFFFFFFFu);
}

TEST(Crc32, KnownAnswers) {
    struct Case {
        std::string input;
        uint32_t crc;
    };
    const Case cases[] = {
        {"", 0x00000000u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(crc32Ieee(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()), c.crc) << c.input;
    }
}

TEST(IndexSlots, EncodeDecodeAndCrc) {
    const auto bytes = encodeSlot(7, 8192, 100);
    const IndexSlot s = decodeSlot(bytes.data());
    EXPECT_TRUE(s.crcOk);
    EXPECT_EQ(s.generation, 7u);
    EXPECT_EQ(s.indexOffset, 8192u);
    EXPECT_EQ(s.indexLength, 100u);
    EXPECT_EQ(loadU32Le(bytes.data() + 24), crc32Ieee(bytes.data(), 24));
    EXPECT_EQ(loadU32Le(bytes.data() + 28), 0u);
    for (size_t i = 0; i < 24; ++i) {
        auto damaged = bytes;
        damaged[i] ^= 0x40;
        EXPECT_FALSE(decodeSlot(damaged.data()).crcOk) << "byte " << i;
    }
    // The record CRC in the last word is not covered by the slot's own CRC.
    auto reserved = bytes;
    reserved[30] = 0xFF;
    EXPECT_TRUE(decodeSlot(reserved.data()).crcOk);
    EXPECT_EQ(decodeSlot(reserved.data()).recordCrc, 0xFF0000u);
    const auto withRecord = encodeSlot(7, 8192, 100, 0xA1B2C3D4u);
    EXPECT_EQ(loadU32Le(withRecord.data() + 28), 0xA1B2C3D4u);
    EXPECT_EQ(decodeSlot(withRecord.data()).recordCrc, 0xA1B2C3D4u);
    EXPECT_EQ(loadU32Le(withRecord.data() + 24), loadU32Le(bytes.data() + 24));
}

TEST(IndexSlots, ChoiceTable) {
    const uint64_t fileSize = 10000;
    const auto slot = [](uint64_t gen, uint64_t off, uint64_t len, bool crc = true) {
        return IndexSlot{gen, off, len, crc};
    };
    struct Case {
        const char* what;
        IndexSlot a, b;
        std::optional<int> chosen;
    };
    const Case cases[] = {
        {"A only", slot(1, 0, 0), slot(0, 0, 0), 0},
        {"B newer", slot(1, 4096, 100), slot(2, 5000, 100), 1},
        {"A newer", slot(3, 4096, 100), slot(2, 5000, 100), 0},
        {"equal generations pick A", slot(2, 4096, 100), slot(2, 5000, 100), 0},
        {"B newer but bad CRC", slot(1, 4096, 100), slot(9, 5000, 100, false), 0},
        {"A bad CRC, B older", slot(5, 4096, 100, false), slot(4, 5000, 100), 1},
        {"generation 0 never used", slot(0, 0, 0), slot(0, 4096, 100), std::nullopt},
        {"B generation 0 with good CRC", slot(1, 0, 0), slot(0, 0, 0), 0},
        {"index inside header", slot(1, 100, 100), slot(0, 0, 0), std::nullopt},
        {"index shorter than a record", slot(1, 4096, 27), slot(0, 0, 0), std::nullopt},
        {"index exactly at end", slot(1, 9900, 100), slot(0, 0, 0), 0},
        {"index one past end", slot(1, 9901, 100), slot(0, 0, 0), std::nullopt},
        {"offset + length wraps", slot(1, UINT64_MAX - 10, 100), slot(0, 0, 0), std::nullopt},
        {"length larger than file", slot(1, 4096, UINT64_MAX), slot(0, 0, 0), std::nullopt},
        {"empty index needs both zero", slot(1, 0, 100), slot(0, 0, 0), std::nullopt},
        {"both bad", slot(1, 0, 0, false), slot(2, 0, 0, false), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(chooseSlot(c.a, c.b, fileSize), c.chosen) << c.what;
}

TEST(FileNames, ValidityTable) {
    struct Case {
        std::string name;
        bool valid;
    };
    const Case cases[] = {
        {"a", true},
        {"photo.png", true},
        {"gen-20260101-120000-00af.wav", true},
        {"A_b-C.9", true},
        {std::string(128, 'x'), true},
        {std::string(129, 'x'), false},
        {"", false},
        {".hidden", false},
        {"a..b", false},
        {"..", false},
        {"a/b", false},
        {"a\\b", false},
        {"a b", false},
        {"caf\xc3\xa9", false},
        {std::string("a\0b", 3), false},
        {"x.", true},
    };
    for (const Case& c : cases) EXPECT_EQ(isValidFileName(c.name), c.valid) << c.name;
}

TEST(SealedSizes, ChunkBoundaries) {
    struct Case {
        uint64_t size;
        uint64_t sealed;
    };
    const Case cases[] = {
        {0, 0},
        {1, 29},
        {65536, 65564},
        {65537, 65564 + 29},
        {131072, 2 * 65564},
        {kMaxStoredFileSize, kMaxStoredFileSize + 32768 * 28},
    };
    for (const Case& c : cases) EXPECT_EQ(sealedFileSize(c.size), c.sealed) << c.size;
}

namespace {

StorageEntry entry(const std::string& name, uint64_t size, uint64_t offset, const std::string& type = "text/plain") {
    StorageEntry e;
    e.name = name;
    e.contentType = type;
    e.size = size;
    e.timeMs = 1700000000000ull;
    e.dataOffset = offset;
    e.recordId = 5;
    return e;
}

}  // namespace

TEST(IndexRecords, RoundTripSortsAndCutsContentTypes) {
    IndexRecord record;
    record.nextRecordId = 0;  // read back as 1
    record.entries = {entry("b", 10, 4096), entry("a", 0, 4096, std::string(300, 't')), entry("ab", 1, 5000)};
    const Bytes plain = encodeIndex(record);
    IndexRecord out;
    ASSERT_EQ(decodeIndex(plain.data(), plain.size(), 1 << 20, out), IndexDecodeResult::kOk);
    EXPECT_EQ(out.nextRecordId, 1u);
    ASSERT_EQ(out.entries.size(), 3u);
    EXPECT_EQ(out.entries[0].name, "a");
    EXPECT_EQ(out.entries[1].name, "ab");
    EXPECT_EQ(out.entries[2].name, "b");
    EXPECT_EQ(out.entries[0].contentType, std::string(255, 't'));
    EXPECT_EQ(out.entries[2].size, 10u);
    EXPECT_EQ(out.entries[2].timeMs, 1700000000000ull);
    // Bytes after the last entry are ignored.
    Bytes padded = plain;
    padded.push_back(0xEE);
    EXPECT_EQ(decodeIndex(padded.data(), padded.size(), 1 << 20, out), IndexDecodeResult::kOk);
}

TEST(IndexRecords, RejectsTruncatedAndInvalidEntries) {
    const uint64_t big = 4 * kMaxStoredFileSize;
    struct Case {
        const char* what;
        StorageEntry e;
        uint64_t fileSize;
        IndexDecodeResult result;
    };
    const Case cases[] = {
        {"size 2^31 accepted", entry("a", kMaxStoredFileSize, 4096), big, IndexDecodeResult::kOk},
        {"size 2^31 + 1 rejected", entry("a", kMaxStoredFileSize + 1, 4096), big, IndexDecodeResult::kInvalidEntry},
        {"huge size rejected", entry("a", UINT64_MAX, 4096), big, IndexDecodeResult::kInvalidEntry},
        {"data in header", entry("a", 1, 4095), big, IndexDecodeResult::kInvalidEntry},
        {"data ends at file end", entry("a", 100, 4096), 4096 + 128, IndexDecodeResult::kOk},
        {"data one past file end", entry("a", 100, 4096), 4096 + 127, IndexDecodeResult::kInvalidEntry},
        {"offset + size wraps", entry("a", 100, UINT64_MAX - 50), big, IndexDecodeResult::kInvalidEntry},
        {"bad name", entry("../x", 1, 4096), big, IndexDecodeResult::kInvalidEntry},
    };
    for (const Case& c : cases) {
        IndexRecord record;
        record.entries = {c.e};
        const Bytes plain = encodeIndex(record);
        IndexRecord out;
        EXPECT_EQ(decodeIndex(plain.data(), plain.size(), c.fileSize, out), c.result) << c.what;
    }

    IndexRecord record;
    record.entries = {entry("a", 1, 4096)};
    const Bytes plain = encodeIndex(record);
    for (size_t cut = 0; cut < plain.size(); ++cut) {
        IndexRecord out;
        EXPECT_EQ(decodeIndex(plain.data(), cut, 1 << 20, out), IndexDecodeResult::kTruncated) << cut;
    }
}

TEST(IndexRecords, HugeEntryCountDoesNotAllocate) {
    // A crafted count of 4 billion with no entry bytes must fail at once
    // instead of reserving memory for the count.
    Bytes plain;
    appendU64Le(plain, 1);
    appendU32Le(plain, 0xFFFFFFFFu);
    IndexRecord out;
    EXPECT_EQ(decodeIndex(plain.data(), plain.size(), 1 << 20, out), IndexDecodeResult::kTruncated);
}

TEST(ByteReaderTest, LengthPrefixedMarksFailure) {
    const uint8_t data[] = {3, 0, 'a', 'b'};
    ByteReader r(data, sizeof(data));
    EXPECT_EQ(r.readLengthPrefixed(), "");
    EXPECT_TRUE(r.failed());
    const uint8_t ok[] = {2, 0, 'a', 'b'};
    ByteReader r2(ok, sizeof(ok));
    EXPECT_EQ(r2.readLengthPrefixed(), "ab");
    EXPECT_FALSE(r2.failed());
    EXPECT_EQ(r2.u16(), 0);
    EXPECT_TRUE(r2.failed());
}

TEST(NewContainer, PlainStoreIsExactly4096Bytes) {
    TempDir dir;
    const std::string path = dir.file("storage.kvx");
    {
        StorageFile store;
        store.open(path);
    }
    const std::vector<uint8_t> bytes = readWholeFile(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(std::memcmp(bytes.data(), "KVXSTOR1", 8), 0);
    EXPECT_EQ(loadU32Le(bytes.data() + 8), 1u);
    EXPECT_EQ(loadU32Le(bytes.data() + 12), 0u);
    for (size_t i = 16; i < 128; ++i) ASSERT_EQ(bytes[i], 0) << i;
    const auto slotA = encodeSlot(1, 0, 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 128, slotA.data(), 32), 0);
    for (size_t i = 160; i < 4096; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(NewContainer, EncryptedHeaderHoldsKeyFields) {
    TempDir dir;
    const std::string path = dir.file("storage.kvx");
    StorageFile store;
    const StorageKey key = store.createEncrypted(path, "token-1");
    EXPECT_TRUE(key.valid);
    const std::vector<uint8_t> bytes = readWholeFile(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(loadU32Le(bytes.data() + 12), 1u);
    const StorageHeader h = decodeHeaderFields(bytes.data());
    const auto nonZero = [](const auto& a) {
        return std::any_of(a.begin(), a.end(), [](uint8_t b) { return b != 0; });
    };
    EXPECT_TRUE(nonZero(h.salt));
    EXPECT_TRUE(nonZero(h.wrappedKey));
    EXPECT_TRUE(nonZero(h.keyNonce));
    EXPECT_TRUE(nonZero(h.keyTag));
    // The wrapped key is the data key under the token's key-encryption key.
    uint8_t kek[32];
    ASSERT_TRUE(deriveStorageKek("token-1", h.salt.data(), kek));
    uint8_t unwrapped[32];
    ASSERT_TRUE(aesGcmDecrypt(kek, h.keyNonce.data(), reinterpret_cast<const uint8_t*>("KVXDEK"), 6,
                              h.wrappedKey.data(), 32, h.keyTag.data(), unwrapped));
    EXPECT_EQ(std::memcmp(unwrapped, key.dataKey.data(), 32), 0);
    for (size_t i = 108; i < 128; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(StoredLayout, ChunkSizesOnDisk) {
    // Each file is written into a fresh plain store; the index follows the
    // chunks, so the slot's index offset tells how much the chunks took.
    struct Case {
        size_t size;
        std::vector<uint64_t> chunkLengths;
    };
    const Case cases[] = {{0, {}}, {65536, {65564}}, {65537, {65564, 29}}};
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("s.kvx");
        StorageFile store;
        store.open(path);
        const StorageKey key = store.unlock("");
        const auto data = patternBytes(c.size, 3);
        store.write("f.bin", std::span<const uint8_t>(data), "", 0, key);
        const IndexSlot slot = currentSlot(path);
        uint64_t total = 0;
        for (uint64_t n : c.chunkLengths) total += n;
        EXPECT_EQ(slot.indexOffset, 4096 + total) << c.size;
        // Plain chunks: zero nonce, the data, zero tag, back to back.
        const std::vector<uint8_t> bytes = readWholeFile(path);
        uint64_t pos = 4096, done = 0;
        for (uint64_t n : c.chunkLengths) {
            const uint64_t plain = n - 28;
            for (int i = 0; i < 12; ++i) ASSERT_EQ(bytes[pos + i], 0);
            ASSERT_EQ(std::memcmp(bytes.data() + pos + 12, data.data() + done, plain), 0);
            for (int i = 0; i < 16; ++i) ASSERT_EQ(bytes[pos + 12 + plain + i], 0);
            pos += n;
            done += plain;
        }
        EXPECT_EQ(store.read("f.bin", key), data);
    }
}
