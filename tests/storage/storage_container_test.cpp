// StorageFile: opening, header checks, keyed operations, ranges and removal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "storage/file_store_exception.h"
#include "storage/storage_file.h"
#include "storage/storage_test_util.h"
#include "support/temp_dir.h"

namespace {

std::span<const uint8_t> asSpan(const std::vector<uint8_t>& v) { return std::span<const uint8_t>(v); }

class ContainerTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("storage.kvx");
};

}  // namespace

TEST_F(ContainerTest, WriteReadListStatAndReplace) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("ignored for plain stores");
    EXPECT_TRUE(key.valid);
    const auto a = patternBytes(1000, 1);
    const auto b = patternBytes(70000, 2);
    store.write("b.png", asSpan(b), "", 1234, key);
    store.write("a.txt", asSpan(a), "custom/type", 0, key);
    store.write("c.bin", std::string_view(""), "", 0, key);

    const auto files = store.list();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "a.txt");
    EXPECT_EQ(files[0].contentType, "custom/type");
    EXPECT_GT(files[0].timeMs, 1600000000000);
    EXPECT_EQ(files[1].name, "b.png");
    EXPECT_EQ(files[1].contentType, "image/png");
    EXPECT_EQ(files[1].timeMs, 1234);
    EXPECT_EQ(files[1].size, 70000u);
    EXPECT_EQ(files[2].contentType, "application/octet-stream");
    EXPECT_EQ(store.read("a.txt", key), a);
    EXPECT_EQ(store.read("b.png", key), b);
    EXPECT_TRUE(store.read("c.bin", key).empty());

    // Replacing leaves the old chunks as garbage and shows only the new data.
    const uint64_t before = store.fileSizeForTesting();
    const auto a2 = patternBytes(500, 9);
    store.write("a.txt", asSpan(a2), "", 0, key);
    EXPECT_EQ(store.list().size(), 3u);
    EXPECT_EQ(store.read("a.txt", key), a2);
    EXPECT_GT(store.fileSizeForTesting(), before + 500);

    StoredFileInfo info;
    EXPECT_TRUE(store.stat("a.txt", info));
    EXPECT_EQ(info.size, 500u);
    EXPECT_EQ(info.contentType, "text/plain");
    EXPECT_FALSE(store.stat("missing.txt", info));
    EXPECT_TRUE(store.exists("b.png"));
    EXPECT_FALSE(store.exists("B.png"));

    // Everything survives a reopen.
    store.close();
    store.open(path);
    const StorageKey key2 = store.unlock("");
    EXPECT_EQ(store.read("a.txt", key2), a2);
    EXPECT_EQ(store.read("b.png", key2), b);
    EXPECT_EQ(store.list().size(), 3u);
}

TEST_F(ContainerTest, ContentTypeLongerThan255IsCut) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("");
    store.write("a.txt", std::string_view("x"), std::string(300, 'c'), 0, key);
    store.close();
    store.open(path);
    StoredFileInfo info;
    ASSERT_TRUE(store.stat("a.txt", info));
    EXPECT_EQ(info.contentType, std::string(255, 'c'));
}

TEST_F(ContainerTest, ReadRangeTable) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("");
    const auto small = patternBytes(50, 4);
    const auto big = patternBytes(3 * 65536 + 100, 5);
    store.write("small", asSpan(small), "", 0, key);
    store.write("big", asSpan(big), "", 0, key);
    struct Case {
        const char* name;
        uint64_t offset, length;
        uint64_t expectFrom, expectCount;
    };
    const uint64_t bigSize = big.size();
    const Case cases[] = {
        {"small", 0, 50, 0, 50},
        {"small", 10, 100, 10, 40},
        {"small", 50, 10, 0, 0},
        {"small", 51, 10, 0, 0},
        {"small", 49, 1, 49, 1},
        {"small", 0, 0, 0, 0},
        {"small", UINT64_MAX, UINT64_MAX, 0, 0},
        {"small", 5, UINT64_MAX, 5, 45},
        {"big", 65530, 20, 65530, 20},
        {"big", 65536, 65536, 65536, 65536},
        {"big", 1, 3 * 65536, 1, 3 * 65536},
        {"big", bigSize - 1, 100, bigSize - 1, 1},
        {"big", 100000, UINT64_MAX - 5, 100000, bigSize - 100000},
    };
    for (const Case& c : cases) {
        const auto& source = std::string(c.name) == "small" ? small : big;
        const Bytes got = store.readRange(c.name, c.offset, c.length, key);
        const Bytes want(source.begin() + static_cast<std::ptrdiff_t>(c.expectFrom),
                         source.begin() + static_cast<std::ptrdiff_t>(c.expectFrom + c.expectCount));
        EXPECT_EQ(got, want) << c.name << " " << c.offset << " " << c.length;
    }
}

TEST_F(ContainerTest, TooLargeWriteFailsBeforeWriting) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("");
    const uint64_t before = fileSizeOf(path);
    // The size check comes before any byte is read, so a span that only
    // claims the size is enough.
    static const uint8_t one = 0;
    const std::span<const uint8_t> huge(&one, static_cast<size_t>(kMaxStoredFileSize + 1));
    const FileStoreException e = expectStoreError([&] { store.write("big.bin", huge, "", 0, key); });
    EXPECT_EQ(e.kind(), 2);
    EXPECT_STREQ(e.what(), "file too large: big.bin (2147483649 bytes, max 2GB)");
    EXPECT_EQ(fileSizeOf(path), before);
    EXPECT_TRUE(store.list().empty());
}

TEST_F(ContainerTest, RemoveAbsentPublishesNothing) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("");
    store.write("a", std::string_view("hello"), "", 0, key);
    const uint64_t before = fileSizeOf(path);
    EXPECT_FALSE(store.remove("zzz", key));
    EXPECT_EQ(fileSizeOf(path), before);
    EXPECT_TRUE(store.remove("a", key));
    EXPECT_FALSE(store.exists("a"));
    EXPECT_EQ(expectStoreError([&] { store.read("a", key); }).kind(), 1);
    store.close();
    store.open(path);
    EXPECT_TRUE(store.list().empty());
}

TEST_F(ContainerTest, InvalidNamesAndClosedStore) {
    StorageFile store;
    const StorageKey none;
    // Closed: keyed operations fail, views report nothing.
    struct Case {
        const char* what;
        std::function<void()> op;
        int kind;
        std::string message;
    };
    const Case closed[] = {
        {"read", [&] { store.read("a", none); }, 2, "storage is not open"},
        {"write", [&] { store.write("a", std::string_view("x"), "", 0, none); }, 2, "storage is not open"},
        {"remove", [&] { store.remove("a", none); }, 2, "storage is not open"},
        {"unlock", [&] { store.unlock("t"); }, 2, "storage is not open"},
        {"bad name first", [&] { store.read("../a", none); }, 0, "invalid file name: ../a"},
    };
    for (const Case& c : closed) {
        const FileStoreException e = expectStoreError(c.op);
        EXPECT_EQ(e.kind(), c.kind) << c.what;
        EXPECT_EQ(e.what(), c.message) << c.what;
    }
    EXPECT_FALSE(store.exists("a"));
    EXPECT_TRUE(store.list().empty());

    store.open(path);
    const StorageKey key = store.unlock("");
    for (const std::string& name : std::vector<std::string>{"", ".a", "a..b", "a/b", std::string(129, 'n')}) {
        EXPECT_EQ(expectStoreError([&] { store.write(name, std::string_view("x"), "", 0, key); }).kind(), 0) << name;
        EXPECT_EQ(expectStoreError([&] { store.read(name, key); }).kind(), 0) << name;
        EXPECT_EQ(expectStoreError([&] { store.readRange(name, 0, 1, key); }).kind(), 0) << name;
        EXPECT_EQ(expectStoreError([&] { store.remove(name, key); }).kind(), 0) << name;
        StoredFileInfo info;
        EXPECT_FALSE(store.stat(name, info));
        EXPECT_FALSE(store.exists(name));
    }
}

TEST_F(ContainerTest, HeaderChecksTable) {
    // Start from a valid plain store with one file, then damage it.
    {
        StorageFile store;
        store.open(path);
        store.write("a", std::string_view("hello"), "", 0, store.unlock(""));
    }
    const std::vector<uint8_t> good = readWholeFile(path);
    struct Case {
        const char* what;
        std::function<void()> damage;
        std::string message;
    };
    const Case cases[] = {
        {"too small", [&] { truncateFile(path, 4095); }, "storage too small (not a storage file): "},
        {"empty file", [&] { truncateFile(path, 0); }, "storage too small (not a storage file): "},
        {"bad magic", [&] { flipByte(path, 3); }, "not a storage file (bad magic): "},
        {"version 2", [&] { patchFile(path, 8, {2, 0, 0, 0}); }, "unsupported storage version 2: "},
        {"flags 2", [&] { patchFile(path, 12, {2, 0, 0, 0}); }, "unsupported storage flags: "},
        {"both slots broken",
         [&] {
             flipByte(path, 128 + 3);
             flipByte(path, 160 + 3);
         },
         "storage index slots are corrupted: "},
    };
    for (const Case& c : cases) {
        writeTextFile(path, std::string(good.begin(), good.end()));
        c.damage();
        const uint64_t damagedSize = fileSizeOf(path);
        StorageFile store;
        const FileStoreException e = expectStoreError([&] { store.open(path); });
        EXPECT_EQ(e.kind(), 2) << c.what;
        EXPECT_EQ(e.what(), c.message + path) << c.what;
        EXPECT_FALSE(store.isOpen()) << c.what;
        // A damaged store is reported, never replaced by an empty one.
        EXPECT_EQ(fileSizeOf(path), damagedSize) << c.what;
    }
}

TEST_F(ContainerTest, UnreadablePathStatusIsAnErrorNotARecreation) {
    // A symbolic-link loop makes the status query fail with ELOOP: that is not
    // "absent", so nothing may be created or replaced.
    const std::string loopA = dir.file("loopA"), loopB = dir.file("loopB");
    ASSERT_EQ(::symlink(loopB.c_str(), loopA.c_str()), 0);
    ASSERT_EQ(::symlink(loopA.c_str(), loopB.c_str()), 0);
    StorageFile store;
    const FileStoreException e = expectStoreError([&] { store.open(loopA); });
    EXPECT_EQ(e.kind(), 2);
    EXPECT_EQ(e.what(), "cannot open storage: " + loopA);
    EXPECT_FALSE(store.isOpen());

    // A folder where the store should be is reported, not replaced.
    const std::string folder = dir.file("folder.kvx");
    std::filesystem::create_directory(folder);
    EXPECT_EQ(expectStoreError([&] { store.open(folder); }).kind(), 2);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(ContainerTest, EncryptedKeysAndReopen) {
    const auto data = patternBytes(100000, 7);
    StorageKey first;
    {
        StorageFile store;
        first = store.createEncrypted(path, "secret");
        store.write("a.bin", asSpan(data), "", 0, first);
        EXPECT_TRUE(store.isEncrypted());
        EXPECT_EQ(store.read("a.bin", first), data);
    }
    StorageFile store;
    store.open(path);
    EXPECT_TRUE(store.isEncrypted());
    EXPECT_TRUE(store.list().empty());  // locked until unlocked
    EXPECT_FALSE(store.exists("a.bin"));

    struct Case {
        const char* what;
        std::function<void()> op;
        int kind;
        std::string message;
    };
    const Case cases[] = {
        {"key from before the reopen", [&] { store.read("a.bin", first); }, 3, "storage key (Bearer) is required"},
        {"write with old key", [&] { store.write("b", std::string_view("x"), "", 0, first); }, 3,
         "storage key (Bearer) is required"},
        {"no key", [&] { store.read("a.bin", StorageKey{}); }, 3, "storage key (Bearer) is required"},
        {"empty token", [&] { store.unlock(""); }, 3, "storage key (Bearer) is required"},
        {"wrong token", [&] { store.unlock("Secret"); }, 4, "storage key does not match"},
        {"create with empty token", [&] { StorageFile other; other.createEncrypted(dir.file("x.kvx"), ""); }, 3,
         "storage key (Bearer) is required"},
    };
    for (const Case& c : cases) {
        const FileStoreException e = expectStoreError(c.op);
        EXPECT_EQ(e.kind(), c.kind) << c.what;
        EXPECT_EQ(e.what(), c.message) << c.what;
    }
    const StorageKey key = store.unlock("secret");
    EXPECT_EQ(store.list().size(), 1u);
    EXPECT_EQ(store.read("a.bin", key), data);
    // A later unlock only checks the token and hands out an equal key.
    const StorageKey again = store.unlock("secret");
    EXPECT_EQ(again.dataKey, key.dataKey);
    EXPECT_EQ(again.openGeneration, key.openGeneration);
    EXPECT_EQ(store.read("a.bin", again), data);

    // Re-creation starts a new generation: earlier keys stop working.
    const StorageKey fresh = store.createEncrypted(path, "other");
    EXPECT_EQ(expectStoreError([&] { store.read("a.bin", key); }).kind(), 3);
    EXPECT_TRUE(store.list().empty());
    EXPECT_EQ(expectStoreError([&] { store.read("a.bin", fresh); }).kind(), 1);
}

TEST_F(ContainerTest, PlainKeyIgnoresTokenAndGeneration) {
    StorageFile store;
    store.open(path);
    const StorageKey key = store.unlock("anything");
    EXPECT_TRUE(std::all_of(key.dataKey.begin(), key.dataKey.end(), [](uint8_t b) { return b == 0; }));
    store.write("a", std::string_view("x"), "", 0, key);
    store.open(path);
    // A plain container does not look at the key at all.
    EXPECT_EQ(store.read("a", StorageKey{}).size(), 1u);
}

TEST(StorageKeyTest, WipeClearsBytesAndFlag) {
    StorageKey key;
    key.dataKey.fill(0xAB);
    key.valid = true;
    StorageKey copy = key;
    wipeKey(key);
    EXPECT_FALSE(key.valid);
    EXPECT_TRUE(std::all_of(key.dataKey.begin(), key.dataKey.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(copy.dataKey[0], 0xAB);  // copies are independent
    uint8_t* bare = new uint8_t[32];
    std::memset(bare, 0xCD, 32);
    secureDeleteKey(bare);
    secureDeleteKey(nullptr);
}
