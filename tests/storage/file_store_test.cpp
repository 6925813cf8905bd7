// FileStore: when stores are created, opened and unlocked, generated names,
// emptying, the content-type tables and use from several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "base/logger.h"
#include "storage/file_store.h"
#include "storage/storage_test_util.h"
#include "support/temp_dir.h"

namespace {

// Sends the log to a file for the test's lifetime.
class LogCapture {
public:
    explicit LogCapture(const std::string& path) : path_(path) {
        file_ = std::fopen(path.c_str(), "w+");
        setLogFile(file_);
        setLogLevel(9);
    }
    ~LogCapture() {
        setLogLevel(2);
        setLogFile(stderr);
        std::fclose(file_);
    }
    std::string text() const {
        std::fflush(file_);
        return readTextFile(path_);
    }

private:
    std::string path_;
    FILE* file_;
};

class FileStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("mivrel/inst-1/storage.kvx");
    FileStore store;
};

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(FileStoreTest, OpenWithoutCreateMakesNothing) {
    store.configure(path, false);
    const StorageKey key = store.open("tok", false);
    EXPECT_FALSE(key.valid);
    EXPECT_FALSE(std::filesystem::exists(path));
    const FileStoreException e = expectStoreError([&] { store.read("a.png", key); });
    EXPECT_EQ(e.kind(), 1);
    EXPECT_STREQ(e.what(), "file not found: a.png");
    EXPECT_EQ(expectStoreError([&] { store.readRange("a.png", 0, 1, key); }).kind(), 1);
    EXPECT_FALSE(store.remove("a.png", key));
    EXPECT_TRUE(store.list().empty());
    StoredFileInfo info;
    EXPECT_FALSE(store.stat("a.png", info));
    const FileStoreException save = expectStoreError([&] { store.saveGeneratedFile("gen", "png", "x", key); });
    EXPECT_EQ(save.kind(), 2);
    EXPECT_EQ(save.what(), "file storage is not ready: " + path);
    // Names are checked before anything else.
    EXPECT_EQ(expectStoreError([&] { store.read("../a", key); }).kind(), 0);
    EXPECT_EQ(expectStoreError([&] { store.remove("a/b", key); }).kind(), 0);
}

TEST_F(FileStoreTest, OpenTable) {
    struct Case {
        const char* what;
        bool encrypted;
        std::string token;
        bool create;
        int kind;  // -1: a valid key; -2: an invalid key
        bool fileAfter;
    };
    const Case cases[] = {
        {"plain, create", false, "", true, -1, true},
        {"plain, create, token ignored", false, "tok", true, -1, true},
        {"plain, no create", false, "", false, -2, false},
        {"encrypted, no create, empty token", true, "", false, 3, false},
        {"encrypted, no create, token", true, "tok", false, -2, false},
        {"encrypted, create, empty token", true, "", true, 3, false},
        {"encrypted, create, token", true, "tok", true, -1, true},
    };
    for (const Case& c : cases) {
        TempDir d;
        const std::string p = d.file("a/b/storage.kvx");
        FileStore s;
        s.configure(p, c.encrypted);
        if (c.kind >= 0) {
            EXPECT_EQ(expectStoreError([&] { s.open(c.token, c.create); }).kind(), c.kind) << c.what;
        } else {
            const StorageKey key = s.open(c.token, c.create);
            EXPECT_EQ(key.valid, c.kind == -1) << c.what;
        }
        EXPECT_EQ(std::filesystem::exists(p), c.fileAfter) << c.what;
    }
}

TEST_F(FileStoreTest, EncryptedStoreRoundTripAndTokens) {
    LogCapture log(dir.file("log.txt"));
    store.configure(path, true);
    const StorageKey key = store.open("tok", true);
    EXPECT_NE(log.text().find("[FileStore] 암호화 저장소 생성: " + path), std::string::npos);
    const auto data = patternBytes(200000, 3);
    const std::string name = store.saveGeneratedFile("upload", "png", std::span<const uint8_t>(data), key);
    EXPECT_EQ(store.read(name, key), data);
    StoredFileInfo info;
    ASSERT_TRUE(store.stat(name, info));
    EXPECT_EQ(info.contentType, "image/png");
    EXPECT_EQ(info.size, data.size());

    // Every open checks the token again.
    EXPECT_EQ(expectStoreError([&] { store.open("", false); }).kind(), 3);
    EXPECT_EQ(expectStoreError([&] { store.open("wrong", false); }).kind(), 4);
    const StorageKey again = store.open("tok", false);
    EXPECT_EQ(store.readRange(name, 10, 5, again), Bytes(data.begin() + 10, data.begin() + 15));
    EXPECT_TRUE(store.remove(name, again));
    EXPECT_FALSE(store.exists(name));
}

TEST_F(FileStoreTest, EncryptedInstanceNeverStoresIntoAPlainStore) {
    // A plain store with a file, then the instance switches to encryption.
    store.configure(path, false);
    const std::string name = store.saveGeneratedFile("upload", "txt", "plain data", store.open("", true));
    FileStore switched;
    switched.configure(path, true);
    LogCapture log(dir.file("log.txt"));

    const FileStoreException refused = expectStoreError([&] { switched.open("tok", true); });
    EXPECT_EQ(refused.kind(), FileStoreException::kPlainStore) << "no key would help";
    EXPECT_NE(std::string(refused.what()).find(path), std::string::npos);
    // Readers still reach the existing plain files, with a warning each time.
    const StorageKey key = switched.open("tok", false);
    EXPECT_TRUE(key.valid);
    switched.open("tok", false);
    EXPECT_EQ(count(log.text(), "[FileStore] 암호화 Mivrel 인데 저장소가 평문입니다: " + path), 3u);
    EXPECT_EQ(switched.read(name, key).size(), 10u);
    // ... but a save with such a key is refused too.
    EXPECT_EQ(expectStoreError([&] { switched.saveGeneratedFile("gen", "png", "x", key); }).kind(),
              FileStoreException::kPlainStore);
    EXPECT_EQ(switched.list().size(), 1u);

    // Once empty, the store is made again, encrypted.
    EXPECT_TRUE(switched.remove(name, key));
    EXPECT_EQ(expectStoreError([&] { switched.open("", true); }).kind(), 3);
    const StorageKey encryptedKey = switched.open("tok", true);
    EXPECT_TRUE(switched.containerForTesting().isEncrypted());
    const std::string stored = switched.saveGeneratedFile("gen", "txt", "secret text", encryptedKey);
    const std::vector<uint8_t> raw = readWholeFile(path);
    EXPECT_EQ(std::search(raw.begin(), raw.end(), std::string("secret text").begin(), std::string("secret text").end()),
              raw.end());
    EXPECT_EQ(switched.read(stored, encryptedKey).size(), 11u);
}

TEST_F(FileStoreTest, GeneratedNames) {
    store.configure(path, false);
    const StorageKey key = store.open("", true);
    const std::regex form(R"(gen-\d{8}-\d{6}-[0-9a-f]{4}\.wav)");
    std::set<std::string> names;
    for (int i = 0; i < 30; ++i) {
        const std::string name = store.saveGeneratedFile("gen", "wav", "RIFF", key);
        EXPECT_TRUE(std::regex_match(name, form)) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 30u);  // drawn again while a name exists
    StoredFileInfo info;
    ASSERT_TRUE(store.stat(*names.begin(), info));
    EXPECT_EQ(info.contentType, "audio/wav");
    // An invalid prefix is refused as a name.
    EXPECT_EQ(expectStoreError([&] { store.saveGeneratedFile("../x", "png", "x", key); }).kind(), 0);
}

TEST_F(FileStoreTest, GeneratedNameNeverOverwrites) {
    store.configure(path, false);
    const StorageKey key = store.open("", true);
    store.setGeneratedNameSource([]() -> uint32_t { return 0x1234abcd; });
    // Occupy the only candidate for this second and the next two.
    const std::time_t now = std::time(nullptr);
    for (int s = 0; s < 3; ++s) {
        const std::time_t t = now + s;
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
        store.containerForTesting().write(std::string("gen-") + stamp + "-abcd.png", std::string_view("original"), "",
                                          0, key);
    }
    const FileStoreException e = expectStoreError([&] { store.saveGeneratedFile("gen", "png", "new data", key); });
    store.setGeneratedNameSource(nullptr);
    EXPECT_EQ(e.kind(), 2);
    for (const StoredFileInfo& f : store.list()) {
        const Bytes data = store.read(f.name, key);
        EXPECT_EQ(std::string(data.begin(), data.end()), "original") << f.name;
    }
    EXPECT_EQ(store.list().size(), 3u);
}

TEST_F(FileStoreTest, Truncate) {
    LogCapture log(dir.file("log.txt"));
    store.configure(path, false);
    EXPECT_FALSE(store.truncate());  // never created: no line either
    EXPECT_EQ(log.text().find("저장소 비"), std::string::npos);

    const StorageKey key = store.open("", true);
    const std::string name = store.saveGeneratedFile("gen", "png", "x", key);
    writeTextFile(path + ".tmp", "leftover");
    EXPECT_TRUE(store.truncate());
    EXPECT_NE(log.text().find("[FileStore] 저장소 비움: " + path), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_TRUE(store.list().empty());

    const FileStoreException save = expectStoreError([&] { store.saveGeneratedFile("gen", "png", "x", key); });
    EXPECT_EQ(save.kind(), 2);
    EXPECT_EQ(save.what(), "file storage is not ready: " + path);
    const FileStoreException read = expectStoreError([&] { store.read(name, key); });
    EXPECT_EQ(read.kind(), 2);
    EXPECT_STREQ(read.what(), "storage is not open");

    const StorageKey fresh = store.open("", true);
    EXPECT_TRUE(store.list().empty());
    EXPECT_EQ(fileSizeOf(path), 4096u);
    EXPECT_TRUE(fresh.valid);
    EXPECT_FALSE(store.truncateOnUnload());
    EXPECT_FALSE(store.exchangeTruncateOnUnload(true));
    EXPECT_TRUE(store.truncateOnUnload());
}

TEST_F(FileStoreTest, UnreadableStatusIsNeverRecreated) {
    const std::string loop = dir.file("loop");
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    store.configure(loop, false);
    for (const bool create : {false, true}) {
        const FileStoreException e = expectStoreError([&] { store.open("", create); });
        EXPECT_EQ(e.kind(), 2);
        EXPECT_EQ(e.what(), "cannot open storage: " + loop);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(loop));

    // A damaged store is reported on every open and never replaced.
    store.configure(path, false);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeTextFile(path, "not a store");
    EXPECT_EQ(expectStoreError([&] { store.open("", true); }).kind(), 2);
    EXPECT_EQ(readTextFile(path), "not a store");
}

TEST(MimeTypes, Tables) {
    const std::pair<std::string, std::string> byName[] = {
        {"a.png", "image/png"},      {"a.JPEG", "image/jpeg"},  {"a.jpg", "image/jpeg"},   {"a.webp", "image/webp"},
        {"a.WAV", "audio/wav"},      {"a.mp3", "audio/mpeg"},   {"a.flac", "audio/flac"},  {"a.webm", "video/webm"},
        {"a.mp4", "video/mp4"},      {"a.txt", "text/plain"},   {"a.md", "text/markdown"}, {"a.csv", "text/csv"},
        {"a.json", "application/json"}, {"noext", "application/octet-stream"}, {"a.bin", "application/octet-stream"},
        {"a.png.gz", "application/octet-stream"}, {"a.", "application/octet-stream"},
    };
    for (const auto& [name, type] : byName) EXPECT_EQ(mimeTypeOfFile(name), type) << name;

    const std::pair<std::string, std::string> byType[] = {
        {"Image/JPG; charset=binary", "jpg"}, {"image/jpeg", "jpg"}, {"audio/x-wav", "wav"}, {"audio/wave", "wav"},
        {"audio/vnd.wave", "wav"},           {"audio/mp3", "mp3"},  {"audio/x-flac", "flac"}, {" image / png ", "png"},
        {"application/pdf", ""},             {"", ""},              {"text/plain;charset=utf-8", "txt"},
        {"application/json", "json"},       {"video/webm", "webm"},
    };
    for (const auto& [type, ext] : byType) {
        EXPECT_EQ(extensionForMimeType(type), ext) << type;
        EXPECT_EQ(normalizeMimeType(type), ext) << type;
    }
    EXPECT_EQ(fileReference("gen-1.png"), "files/gen-1.png");
}

TEST_F(FileStoreTest, ConcurrentUseFromManyThreads) {
    // Small compaction threshold so that compactions run while other threads
    // read, list and save.
    StorageOptions options;
    options.compactionThreshold = 256 * 1024;
    FileStore compacting(options);
    compacting.configure(path, true);
    compacting.open("tok", true);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                try {
                    const StorageKey key = compacting.open("tok", true);
                    const auto data = patternBytes(1000 + static_cast<size_t>((t * 7919 + i * 104729) % 90000),
                                                   static_cast<uint32_t>(t * 1000 + i));
                    const std::string name = compacting.saveGeneratedFile("t" + std::to_string(t), "bin",
                                                                     std::span<const uint8_t>(data), key);
                    if (compacting.read(name, key) != data) ++failures;
                    if (compacting.readRange(name, 100, 200, key) != Bytes(data.begin() + 100, data.begin() + 300))
                        ++failures;
                    compacting.list();
                    StoredFileInfo info;
                    if (!compacting.stat(name, info) || info.size != data.size()) ++failures;
                    if (i % 2 == 0 && !compacting.remove(name, key)) ++failures;
                    if (t == 0) {
                        EXPECT_EQ(expectStoreError([&] { compacting.open("bad", false); }).kind(), 4);
                    }
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    // 8 threads x 25 saves, every second one removed.
    EXPECT_EQ(compacting.list().size(), 8u * 12u);

    FileStore reopened;
    reopened.configure(path, true);
    const StorageKey key = reopened.open("tok", false);
    for (const StoredFileInfo& f : reopened.list()) EXPECT_EQ(reopened.read(f.name, key).size(), f.size);
    EXPECT_EQ(reopened.list().size(), 8u * 12u);
}
