// Damage detection, slot fall-back, failed publishes and compaction.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "storage/file_store_exception.h"
#include "storage/storage_file.h"
#include "storage/storage_test_util.h"
#include "support/temp_dir.h"

namespace {

std::span<const uint8_t> asSpan(const std::vector<uint8_t>& v) { return std::span<const uint8_t>(v); }

// Fails the one step the test names, once; counts the steps it sees.
StorageStep gFailAt;
int gFailCountdown = -1;
std::vector<StorageStep> gSeen;

bool failingHook(StorageStep step) {
    gSeen.push_back(step);
    if (step == gFailAt && gFailCountdown >= 0 && gFailCountdown-- == 0) return false;
    return true;
}

void failNext(StorageStep step) {
    gFailAt = step;
    gFailCountdown = 0;
}

// Every container of these tests reports its steps to failingHook.
StorageOptions hooked(uint64_t compactionThreshold = StorageOptions().compactionThreshold) {
    StorageOptions options;
    options.stepHook = failingHook;
    options.compactionThreshold = compactionThreshold;
    return options;
}

class HookGuard {
public:
    HookGuard() {
        gSeen.clear();
        gFailCountdown = -1;
    }
};

// Opens `store` as a new store at `path`, plain or encrypted under "tok".
StorageKey newStore(StorageFile& store, const std::string& path, bool encrypted) {
    if (encrypted) return store.createEncrypted(path, "tok");
    store.open(path);
    return store.unlock("");
}

// A new store holding "a" (generation 2, slot B) and then "b" (generation 3,
// slot A).
void writeTwoFiles(const std::string& path, bool encrypted, const std::vector<uint8_t>& a,
                   const std::vector<uint8_t>& b) {
    StorageFile store(hooked());
    const StorageKey key = newStore(store, path, encrypted);
    store.write("a", asSpan(a), "", 0, key);
    store.write("b", asSpan(b), "", 0, key);
}

class IntegrityTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("storage.kvx");
    HookGuard hooks;
};

}  // namespace

TEST_F(IntegrityTest, EncryptedTamperMatrix) {
    // One file of two chunks, published as the only change after creation.
    const auto data = patternBytes(65536 + 1000, 11);
    {
        StorageFile store(hooked());
        const StorageKey key = store.createEncrypted(path, "tok");
        store.write("f.bin", asSpan(data), "", 0, key);
    }
    const std::vector<uint8_t> good = readWholeFile(path);
    const IndexSlot slot = currentSlot(path);
    const uint64_t chunk1 = 4096 + 65564;
    const uint64_t chunk1End = chunk1 + 1000 + 28;
    const std::string authFailed = "corrupted storage record (authentication failed): " + path;
    const std::string keyMismatch = "storage key does not match";

    enum class Stage { kUnlock, kRead };
    struct Case {
        const char* what;
        uint64_t offset;
        Stage stage;
        int kind;
        std::string message;
    };
    const Case cases[] = {
        {"chunk 0 nonce", 4096 + 3, Stage::kRead, 2, authFailed},
        {"chunk 0 ciphertext", 4096 + 12 + 500, Stage::kRead, 2, authFailed},
        {"chunk 0 tag", 4096 + 12 + 65536 + 4, Stage::kRead, 2, authFailed},
        {"chunk 1 nonce", chunk1, Stage::kRead, 2, authFailed},
        {"chunk 1 last tag byte", chunk1End - 1, Stage::kRead, 2, authFailed},
        {"index nonce", slot.indexOffset + 1, Stage::kUnlock, 2, authFailed},
        {"index ciphertext", slot.indexOffset + 12 + 5, Stage::kUnlock, 2, authFailed},
        {"index tag", slot.indexOffset + slot.indexLength - 1, Stage::kUnlock, 2, authFailed},
        {"salt", 16 + 7, Stage::kUnlock, 4, keyMismatch},
        {"wrapped data key", 48 + 31, Stage::kUnlock, 4, keyMismatch},
        {"key nonce", 80, Stage::kUnlock, 4, keyMismatch},
        {"key tag", 92 + 15, Stage::kUnlock, 4, keyMismatch},
    };
    for (const Case& c : cases) {
        writeTextFile(path, std::string(good.begin(), good.end()));
        flipByte(path, c.offset, 0x20);  // the older slot stays intact: it is never read instead
        StorageFile store(hooked());
        store.open(path);
        FileStoreException e = expectStoreError([&] {
            const StorageKey key = store.unlock("tok");
            if (c.stage == Stage::kRead) store.read("f.bin", key);
        });
        EXPECT_EQ(e.kind(), c.kind) << c.what;
        EXPECT_EQ(e.what(), c.message) << c.what;
    }

    // Reading only the intact chunk still works when the other is damaged.
    writeTextFile(path, std::string(good.begin(), good.end()));
    flipByte(path, chunk1 + 20);
    StorageFile store(hooked());
    store.open(path);
    const StorageKey key = store.unlock("tok");
    EXPECT_EQ(store.readRange("f.bin", 0, 65536, key), Bytes(data.begin(), data.begin() + 65536));
    EXPECT_EQ(expectStoreError([&] { store.readRange("f.bin", 65536, 10, key); }).kind(), 2);
}

TEST_F(IntegrityTest, MovedChunksFailAuthentication) {
    const auto a = patternBytes(2 * 65536, 1);
    const auto b = patternBytes(2 * 65536, 2);
    {
        StorageFile store(hooked());
        const StorageKey key = store.createEncrypted(path, "tok");
        store.write("a", asSpan(a), "", 0, key);
        store.write("b", asSpan(b), "", 0, key);
    }
    const std::vector<uint8_t> good = readWholeFile(path);
    const uint64_t sealedChunk = 65564;
    const uint64_t aStart = 4096, bStart = 4096 + 2 * sealedChunk;
    const std::vector<uint8_t> aChunk0(good.begin() + aStart, good.begin() + aStart + sealedChunk);
    struct Case {
        const char* what;
        uint64_t target;
        const char* name;
        uint64_t readOffset;
    };
    const Case cases[] = {
        {"chunk 0 moved to position 1", aStart + sealedChunk, "a", 65536},
        {"chunk moved to another record", bStart, "b", 0},
    };
    for (const Case& c : cases) {
        writeTextFile(path, std::string(good.begin(), good.end()));
        patchFile(path, c.target, aChunk0);
        StorageFile store(hooked());
        store.open(path);
        const StorageKey key = store.unlock("tok");
        const FileStoreException e = expectStoreError([&] { store.readRange(c.name, c.readOffset, 10, key); });
        EXPECT_EQ(e.kind(), 2) << c.what;
        EXPECT_EQ(e.what(), "corrupted storage record (authentication failed): " + path) << c.what;
    }
}

TEST_F(IntegrityTest, PlainRecordsNeedZeroNonceAndTag) {
    {
        StorageFile store(hooked());
        store.open(path);
        store.write("f", asSpan(patternBytes(100, 3)), "", 0, store.unlock(""));
    }
    const std::vector<uint8_t> good = readWholeFile(path);
    const IndexSlot slot = currentSlot(path);
    struct Case {
        const char* what;
        uint64_t offset;
        bool atOpen;
    };
    const Case cases[] = {
        {"chunk nonce", 4096 + 11, false},
        {"chunk tag", 4096 + 12 + 100, false},
        {"index nonce", slot.indexOffset, true},
        {"index tag", slot.indexOffset + slot.indexLength - 16, true},
    };
    for (const Case& c : cases) {
        writeTextFile(path, std::string(good.begin(), good.end()));
        flipByte(path, c.offset);
        if (c.atOpen) {
            patchFile(path, 128, std::vector<uint8_t>(32, 0));
            matchRecordCrc(path, 160);  // the zero rule itself, not the record CRC, must refuse it
        }
        StorageFile store(hooked());
        const FileStoreException e = expectStoreError([&] {
            store.open(path);
            store.read("f", store.unlock(""));
        });
        EXPECT_EQ(e.kind(), 2) << c.what;
        EXPECT_EQ(e.what(), "corrupted storage record: " + path) << c.what;
    }
}

TEST_F(IntegrityTest, TruncatedOrInvalidIndexIsReportedWithoutHugeAllocation) {
    // A crafted plain index whose entry claims 2^31 bytes far past the end,
    // and one whose count claims 4 billion entries.
    {
        StorageFile store(hooked());
        store.open(path);
        store.write("f", std::string_view("abc"), "", 0, store.unlock(""));
    }
    const std::vector<uint8_t> good = readWholeFile(path);
    const IndexSlot slot = currentSlot(path);
    const uint64_t body = slot.indexOffset + 12;
    struct Case {
        const char* what;
        uint64_t offset;
        std::vector<uint8_t> bytes;
        std::string message;
    };
    const Case cases[] = {
        {"entry count 4 billion", body + 8, {0xFF, 0xFF, 0xFF, 0xFF}, "storage index is truncated: "},
        // Entry: name length, "f", type length, "application/octet-stream", size.
        {"entry size 2^31 past the end", body + 12 + 2 + 1 + 2 + 24, {0, 0, 0, 0x80, 0, 0, 0, 0},
         "storage index has an invalid entry: "},
        {"entry size 2^32", body + 12 + 2 + 1 + 2 + 24, {0, 0, 0, 0, 1, 0, 0, 0},
         "storage index has an invalid entry: "},
        {"entry offset huge", body + 12 + 2 + 1 + 2 + 24 + 16, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "storage index has an invalid entry: "},
    };
    for (const Case& c : cases) {
        writeTextFile(path, std::string(good.begin(), good.end()));
        patchFile(path, c.offset, c.bytes);
        patchFile(path, 128, std::vector<uint8_t>(32, 0));  // no previous index to fall back to
        matchRecordCrc(path, 160);                          // the decoder, not the record CRC, must refuse it
        StorageFile store(hooked());
        const FileStoreException e = expectStoreError([&] { store.open(path); });
        EXPECT_EQ(e.kind(), 2) << c.what;
        EXPECT_EQ(e.what(), c.message + path) << c.what;
    }
    // A slot that claims an index longer than the file is never followed.
    writeTextFile(path, std::string(good.begin(), good.end()));
    const auto hugeSlot = encodeSlot(5, 4096, UINT64_MAX - 4000);
    patchFile(path, 160, std::vector<uint8_t>(hugeSlot.begin(), hugeSlot.end()));
    patchFile(path, 128, std::vector<uint8_t>(32, 0));
    StorageFile store(hooked());
    EXPECT_EQ(expectStoreError([&] { store.open(path); }).what(), "storage index slots are corrupted: " + path);
}

TEST_F(IntegrityTest, SlotDamageFallsBackToTheOtherSlot) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        const auto a = patternBytes(3000, 1);
        const auto b = patternBytes(5000, 2);
        writeTwoFiles(path, encrypted, a, b);
        const std::vector<uint8_t> good = readWholeFile(path);
        const IndexSlot newest = currentSlot(path);
        ASSERT_EQ(newest.generation, 3u);

        // A torn newest slot (bad CRC) leaves the previous index in force:
        // "a" without "b".
        const std::function<void()> damages[] = {
            [&] { flipByte(path, 128 + 9); },
        };
        for (const auto& damage : damages) {
            writeTextFile(path, std::string(good.begin(), good.end()));
            damage();
            StorageFile store(hooked());
            store.open(path);
            const StorageKey key = store.unlock("tok");
            const auto files = store.list();
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(files[0].name, "a");
            EXPECT_EQ(store.read("a", key), a);
            // The next change goes to the damaged slot, never the good one.
            store.write("c", std::string_view("ccc"), "", 0, key);
            store.close();
            store.open(path);
            const StorageKey key2 = store.unlock("tok");
            ASSERT_EQ(store.list().size(), 2u);
            EXPECT_EQ(store.read("a", key2), a);
            EXPECT_EQ(store.read("c", key2).size(), 3u);
        }
        std::filesystem::remove(path);
    }
}

// Behind a valid newest slot, a damaged index record is never replaced by
// the older one: that would hide the newest files and the next write would
// drop them for good. The open (plain) or unlock (encrypted) fails with the
// record's error, every later call fails the same way, nothing is written,
// and once the bytes are mended every file is back.
TEST_F(IntegrityTest, DamagedNewestIndexFailsAndWritesNothing) {
    const auto a = patternBytes(3000, 1);
    const auto b = patternBytes(5000, 2);
    struct Case {
        const char* what;
        bool encrypted;
        std::function<void(const IndexSlot&)> damage;
        std::string message;
    };
    const std::string plainCorrupt = "corrupted storage record: " + path;
    const Case cases[] = {
        {"plain index zero-filled", false,
         [&](const IndexSlot& s) { patchFile(path, s.indexOffset, std::vector<uint8_t>(s.indexLength, 0)); },
         plainCorrupt},
        {"plain index body byte", false, [&](const IndexSlot& s) { flipByte(path, s.indexOffset + 12 + 3); },
         plainCorrupt},
        {"plain index zeros under a matching record CRC", false,
         [&](const IndexSlot& s) {
             patchFile(path, s.indexOffset, std::vector<uint8_t>(s.indexLength, 0));
             matchRecordCrc(path, 128);
         },
         plainCorrupt},
        {"plain index zeros under a slot without a record CRC", false,
         [&](const IndexSlot& s) {
             patchFile(path, s.indexOffset, std::vector<uint8_t>(s.indexLength, 0));
             const auto legacy = encodeSlot(s.generation, s.indexOffset, s.indexLength);
             patchFile(path, 128, std::vector<uint8_t>(legacy.begin(), legacy.end()));
         },
         plainCorrupt},
        {"encrypted index zero-filled", true,
         [&](const IndexSlot& s) { patchFile(path, s.indexOffset, std::vector<uint8_t>(s.indexLength, 0)); },
         "corrupted storage record (authentication failed): " + path},
        {"encrypted index body byte", true, [&](const IndexSlot& s) { flipByte(path, s.indexOffset + 12 + 3); },
         "corrupted storage record (authentication failed): " + path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path);
        writeTwoFiles(path, c.encrypted, a, b);
        const std::vector<uint8_t> good = readWholeFile(path);
        const IndexSlot newest = currentSlot(path);
        ASSERT_EQ(newest.generation, 3u);
        c.damage(newest);
        const std::vector<uint8_t> damaged = readWholeFile(path);

        for (int attempt = 0; attempt < 2; ++attempt) {
            StorageFile store(hooked());
            const FileStoreException e = expectStoreError([&] {
                store.open(path);
                const StorageKey key = store.unlock("tok");
                store.write("c", std::string_view("ccc"), "", 0, key);
            });
            EXPECT_EQ(e.kind(), 2);
            EXPECT_EQ(e.what(), c.message);
            EXPECT_TRUE(store.list().empty());
        }
        EXPECT_EQ(readWholeFile(path), damaged) << "nothing may be written";

        writeTextFile(path, std::string(good.begin(), good.end()));
        StorageFile store(hooked());
        store.open(path);
        const StorageKey key = store.unlock("tok");
        ASSERT_EQ(store.list().size(), 2u);
        EXPECT_EQ(store.read("a", key), a);
        EXPECT_EQ(store.read("b", key), b);
    }
}

TEST_F(IntegrityTest, FailedPublishNeverReusesItsSpace) {
    const auto x = patternBytes(70000, 21);
    const auto y = patternBytes(90000, 22);
    StorageFile store(hooked());
    store.open(path);
    const StorageKey key = store.unlock("");
    store.write("base", std::string_view("base"), "", 0, key);

    // The slot for "x" reaches the disk but its sync fails: the call reports
    // failure and "x" is not listed, yet the disk may already name it.
    failNext(StorageStep::kSlotSynced);
    const FileStoreException e = expectStoreError([&] { store.write("x", asSpan(x), "", 0, key); });
    EXPECT_EQ(e.kind(), 2);
    EXPECT_EQ(e.what(), "failed to update storage slot: " + path);
    EXPECT_FALSE(store.exists("x"));
    const uint64_t afterX = fileSizeOf(path);

    // "y" then dies before its slot is written (as in a crash).
    failNext(StorageStep::kIndexSynced);
    EXPECT_EQ(expectStoreError([&] { store.write("y", asSpan(y), "", 0, key); }).kind(), 2);
    EXPECT_GE(fileSizeOf(path), afterX + y.size());
    store.close();

    // The slot on disk names "x": its chunks and index must be intact.
    store.open(path);
    const StorageKey key2 = store.unlock("");
    EXPECT_TRUE(store.exists("x"));
    EXPECT_EQ(store.read("x", key2), x);
    EXPECT_EQ(store.read("base", key2).size(), 4u);
    EXPECT_FALSE(store.exists("y"));
}

TEST_F(IntegrityTest, FailedWriteOrRemoveKeepsTheStoreUsable) {
    const StorageStep steps[] = {StorageStep::kChunksWritten, StorageStep::kIndexWritten, StorageStep::kIndexSynced,
                                 StorageStep::kSlotWritten, StorageStep::kSlotSynced};
    for (const StorageStep step : steps) {
        std::filesystem::remove(path);
        StorageFile store(hooked());
        store.open(path);
        const StorageKey key = store.unlock("");
        store.write("keep", std::string_view("keep"), "", 0, key);
        failNext(step);
        EXPECT_EQ(expectStoreError([&] { store.write("new", std::string_view("new"), "", 0, key); }).kind(), 2);
        EXPECT_FALSE(store.exists("new"));
        if (step != StorageStep::kChunksWritten) {
            failNext(step);
            EXPECT_EQ(expectStoreError([&] { store.remove("keep", key); }).kind(), 2);
            EXPECT_TRUE(store.exists("keep"));
        }
        store.write("after", std::string_view("after"), "", 0, key);
        store.close();
        store.open(path);
        const StorageKey key2 = store.unlock("");
        EXPECT_EQ(store.read("keep", key2).size(), 4u);
        EXPECT_EQ(store.read("after", key2).size(), 5u);
    }
}

TEST_F(IntegrityTest, CompactionWithMoreThan64MiBOfGarbage) {
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        std::filesystem::remove(path);
        StorageFile store(hooked());
        const StorageKey key = newStore(store, path, encrypted);
        const auto small = patternBytes(1234, 5);
        store.write("small", asSpan(small), "", 0, key);
        store.write("empty", std::string_view(""), "", 0, key);
        const size_t big = 10 * 1048576;
        std::vector<uint8_t> last;
        gSeen.clear();
        for (uint32_t i = 0; i < 8; ++i) {
            last = patternBytes(big, 100 + i);
            store.write("big", asSpan(last), "", 0, key);
        }
        // 70 MiB of replaced data: the 8th write compacted the file.
        const auto compacted = std::find(gSeen.begin(), gSeen.end(), StorageStep::kCompactionRenamed);
        ASSERT_NE(compacted, gSeen.end());
        // The folder is synced after the rename.
        EXPECT_NE(std::find(compacted, gSeen.end(), StorageStep::kCompactionFolderSynced), gSeen.end());
        const uint64_t size = fileSizeOf(path);
        EXPECT_LT(size, 4096 + big + 2000 + 4096);
        EXPECT_GE(size, 4096 + big + 1234);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        // The key handed out before still works, in memory and after a reopen.
        EXPECT_EQ(store.read("big", key), last);
        EXPECT_EQ(store.read("small", key), small);
        store.close();
        store.open(path);
        const StorageKey key2 = store.unlock("tok");
        EXPECT_EQ(store.list().size(), 3u);
        EXPECT_EQ(store.read("big", key2), last);
        EXPECT_EQ(store.read("small", key2), small);
        EXPECT_TRUE(store.read("empty", key2).empty());
    }
}

TEST_F(IntegrityTest, FailedCompactionKeepsEveryFile) {
    const StorageStep steps[] = {StorageStep::kCompactionCopied, StorageStep::kIndexSynced,
                                 StorageStep::kCompactionPublished};
    for (const StorageStep step : steps) {
        std::filesystem::remove(path);
        StorageFile store(hooked(100000));
        const StorageKey key = store.createEncrypted(path, "tok");
        const auto keep = patternBytes(5000, 1);
        store.write("keep", asSpan(keep), "", 0, key);
        store.write("churn", asSpan(patternBytes(150000, 2)), "", 0, key);
        store.write("churn", asSpan(patternBytes(150000, 4)), "", 0, key);
        // The next replacement makes garbage due; its publish succeeds, then
        // compaction fails at `step`. Skip the write's own index sync.
        gSeen.clear();
        gFailAt = step;
        gFailCountdown = step == StorageStep::kIndexSynced ? 1 : 0;
        const auto churn = patternBytes(150000, 3);
        store.write("churn", asSpan(churn), "", 0, key);  // compaction failures are not raised
        EXPECT_NE(std::find(gSeen.begin(), gSeen.end(), StorageStep::kCompactionCopied), gSeen.end());
        EXPECT_EQ(std::find(gSeen.begin(), gSeen.end(), StorageStep::kCompactionRenamed), gSeen.end());
        gFailCountdown = -1;
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
        EXPECT_EQ(store.read("keep", key), keep);
        EXPECT_EQ(store.read("churn", key), churn);
        store.close();
        store.open(path);
        const StorageKey key2 = store.unlock("tok");
        EXPECT_EQ(store.read("keep", key2), keep);
        EXPECT_EQ(store.read("churn", key2), churn);
    }
}
