// Unpacking update archives: a good archive keeps its structure and modes;
// names and entries that could leave the unpacking folder, and archives
// that unpack to more than the limits, fail before a byte is written; a
// failed unpacking leaves the published ready folder as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "mgmt/app_update_job.h"
#include "mgmt/zip_unpack.h"
#include "support/temp_dir.h"
#include "support/zip_writer.h"

namespace fs = std::filesystem;

namespace {

// Runs the test in a temporary working directory: update folders are
// relative to it.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(previous_); }

    TempDir dir_;
    fs::path previous_;
};

using ZipUnpack = InTempDir;

TEST_F(ZipUnpack, KeepsFoldersWithoutFolderEntriesAndTheExecuteBit) {
    writeZip("good.zip", {{"brisvanesrv", "program", 0100755},
                          {"webapp/app/index.html", "<html>", 0100644},
                          {"empty/", "", 040755},
                          {"./conf/../conf2/x.txt", "", 0100644}});
    // ".." components are refused even where they would stay inside.
    EXPECT_THROW(extractZip("good.zip", "out"), std::runtime_error);
    EXPECT_FALSE(fs::exists("out"));

    writeZip("good.zip", {{"brisvanesrv", "program", 0104755},
                          {"webapp/app/index.html", "<html>", 0100600},
                          {"empty/", "", 040755},
                          {"./notes.txt", "n", 0100444},
                          {"shared-tool", "anyone may change me", 0100777},
                          {"shared.txt", "w", 0100666}});
    extractZip("good.zip", "out");
    EXPECT_EQ(readTextFile("out/brisvanesrv"), "program");
    EXPECT_EQ(readTextFile("out/webapp/app/index.html"), "<html>");
    EXPECT_TRUE(fs::is_directory("out/empty"));
    EXPECT_EQ(readTextFile("out/notes.txt"), "n");
    struct stat info {};
    ASSERT_EQ(::stat("out/brisvanesrv", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u) << "set-id bits dropped, execute kept";
    ASSERT_EQ(::stat("out/notes.txt", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << "the owner can always write";
    // Group and others never get write permission: 0755 and 0644 at most.
    ASSERT_EQ(::stat("out/shared-tool", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat("out/shared.txt", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST_F(ZipUnpack, RefusesEntriesThatLeaveTheFolderBeforeWritingAnything) {
    struct Case {
        ZipEntry bad;
        const char* reason;
    };
    const Case cases[] = {
        {{"../evil.txt", "x"}, "\"..\" component"},
        {{"a/../../evil.txt", "x"}, "\"..\" component"},
        {{"/tmp/evil.txt", "x"}, "absolute path"},
        {{"C:/evil.txt", "x"}, "drive prefix"},
        {{"a\\..\\evil.txt", "x"}, "backslash"},
        {{"link", "/etc", 0120777}, "symbolic link"},
        {{"fifo", "", 010644}, "special file"},
    };
    for (const Case& c : cases) {
        // A harmless entry first: nothing of it may be written either.
        writeZip("bad.zip", {{"first.txt", "1"}, c.bad, {"link/passwd", "x"}});
        try {
            extractZip("bad.zip", "out");
            ADD_FAILURE() << c.bad.name << " was unpacked";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.bad.name), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists("out")) << c.bad.name;
        EXPECT_FALSE(fs::exists("evil.txt"));
        EXPECT_FALSE(fs::exists(dir_.path() + "/../evil.txt"));
    }
}

TEST_F(ZipUnpack, BombsFailCleanly) {
    const std::string zeros(4 << 20, '\0');
    UnpackLimits limits;
    limits.maxEntryBytes = 1 << 20;
    limits.maxTotalBytes = 3 << 20;
    limits.maxEntries = 3;

    writeZip("big.zip", {{"zeros.bin", zeros}});
    EXPECT_LT(fs::file_size("big.zip"), 64u << 10) << "a real bomb: small archive, large content";
    EXPECT_THROW(extractZip("big.zip", "out", limits), std::runtime_error);

    const std::string part(1 << 20, '\0');
    writeZip("total.zip", {{"a", part}, {"b", part}, {"c", part}, {"d", part}});
    EXPECT_THROW(extractZip("total.zip", "out", limits), std::runtime_error) << "four entries";
    limits.maxEntries = 10;
    EXPECT_THROW(extractZip("total.zip", "out", limits), std::runtime_error) << "4 MiB in all";
    EXPECT_FALSE(fs::exists("out"));

    // A header that claims less than the entry holds.
    writeZip("liar.zip", {{"zeros.bin", zeros}});
    forgeUncompressedSize("liar.zip", "zeros.bin", 1000);
    EXPECT_THROW(extractZip("liar.zip", "out"), std::runtime_error);
    // One that claims more than the limit is refused from its header.
    writeZip("huge.zip", {{"zeros.bin", "small"}});
    forgeUncompressedSize("huge.zip", "zeros.bin", 0xF0000000u);
    try {
        extractZip("huge.zip", "out2");
        ADD_FAILURE() << "a 3.75 GiB entry was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("limit"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists("out2"));
}

TEST_F(ZipUnpack, AFailedUnpackingLeavesTheReadyFolderAndAGoodOneReplacesIt) {
    writeZip("v1.zip", {{"brisvanesrv", "v1", 0100755}, {"old-only.txt", "o"}});
    EXPECT_EQ(unpackAndPublish("brisvanesrv", "v1.zip"), "work/_update_ready/brisvanesrv");
    EXPECT_EQ(readTextFile("work/_update_ready/brisvanesrv/brisvanesrv"), "v1");

    for (const ZipEntry& bad : {ZipEntry{"../../../escape.txt", "x"}, ZipEntry{"link", "/", 0120777}}) {
        writeZip("bad.zip", {{"brisvanesrv", "v2"}, bad});
        EXPECT_THROW(unpackAndPublish("brisvanesrv", "bad.zip"), std::runtime_error);
        EXPECT_EQ(readTextFile("work/_update_ready/brisvanesrv/brisvanesrv"), "v1") << bad.name;
        EXPECT_FALSE(fs::exists("escape.txt"));
    }
    writeTextFile("not-a-zip.zip", "<html>404</html>");
    EXPECT_THROW(unpackAndPublish("brisvanesrv", "not-a-zip.zip"), std::runtime_error);
    EXPECT_EQ(readTextFile("work/_update_ready/brisvanesrv/brisvanesrv"), "v1");

    writeZip("v2.zip", {{"brisvanesrv", "v2", 0100755}});
    unpackAndPublish("brisvanesrv", "v2.zip");
    EXPECT_EQ(readTextFile("work/_update_ready/brisvanesrv/brisvanesrv"), "v2");
    EXPECT_FALSE(fs::exists("work/_update_ready/brisvanesrv/old-only.txt")) << "replaced as a whole";
    EXPECT_FALSE(fs::exists("work/_update_dn/brisvanesrv"));
}

}  // namespace
