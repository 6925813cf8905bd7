// The file work of an update apply and rollback: files moved aside before
// they are replaced, a copy that fails part-way undone to the byte, the
// execute bit of replaced programs kept, and the backup's choice of files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "cli/update_files.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class UpdateFiles : public ::testing::Test {
protected:
    void put(const std::string& relative, const std::string& text, fs::perms perms = fs::perms::none) {
        const fs::path path = fs::path(dir_.path()) / relative;
        fs::create_directories(path.parent_path());
        writeTextFile(path.string(), text);
        if (perms != fs::perms::none) fs::permissions(path, perms);
    }
    std::string at(const std::string& relative) const { return readTextFile(dir_.file(relative)); }
    bool exists(const std::string& relative) const { return fs::exists(fs::symlink_status(dir_.file(relative))); }

    TempDir dir_;
};

TEST_F(UpdateFiles, ReplacesMovingAsideAndKeepsTheExecuteBit) {
    put("install/brisvanesrv", "old server", fs::perms::owner_all | fs::perms::group_read);
    put("install/brisvanesrv.old", "an older one");
    put("install/conf/serv.conf", "SERV_PORT=1");
    put("tree/brisvanesrv", "new server", fs::perms::owner_read | fs::perms::owner_write);
    put("tree/webapp/new.html", "added");
    fs::create_symlink("brisvanesrv", dir_.file("tree/link"));

    const ReplaceResult result = replaceFiles(dir_.file("tree"), dir_.file("install"));
    EXPECT_EQ(result.count, 3);
    EXPECT_EQ(at("install/brisvanesrv"), "new server");
    EXPECT_EQ(at("install/brisvanesrv.old"), "old server");
    EXPECT_EQ(at("install/webapp/new.html"), "added");
    EXPECT_EQ(fs::read_symlink(dir_.file("install/link")), "brisvanesrv") << "a link stays a link";
    EXPECT_EQ(at("install/conf/serv.conf"), "SERV_PORT=1") << "not in the tree";
    EXPECT_EQ(result.movedAside, std::vector<std::string>{dir_.file("install/brisvanesrv.old")});
    const fs::perms perms = fs::status(dir_.file("install/brisvanesrv")).permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none) << "the program stays executable";
}

// Whatever modes the update tree holds, installed files allow no write to
// group and others and carry no set-id bits.
TEST_F(UpdateFiles, InstalledFilesAre0755Or0644AtMost) {
    put("install/brisvanesrv", "old server", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    put("tree/brisvanesrv", "new server", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_write);
    put("tree/tool", "tool", fs::perms::all);
    put("tree/notes.txt", "notes", fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                                      fs::perms::others_exec));
    ASSERT_EQ(::chmod(dir_.file("tree/tool").c_str(), 06777), 0);
    replaceFiles(dir_.file("tree"), dir_.file("install"));
    const struct {
        const char* file;
        mode_t mode;
    } cases[] = {{"install/brisvanesrv", 0710}, {"install/tool", 0755}, {"install/notes.txt", 0644}};
    for (const auto& c : cases) {
        struct stat info {};
        ASSERT_EQ(::stat(dir_.file(c.file).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode) << c.file;
    }
}

// A folder of the installation that is a symbolic link is never written
// through: the copy fails before anything lands at the link's target, and
// what it had replaced is back.
TEST_F(UpdateFiles, NothingIsWrittenThroughALinkedFolder) {
    put("elsewhere/keep.txt", "someone else's");
    put("install/a-first.txt", "first v1");
    fs::create_directories(dir_.file("install/lib"));
    fs::create_directory_symlink(dir_.file("elsewhere"), dir_.file("install/lib/plugins"));
    put("tree/a-first.txt", "first v2");
    put("tree/lib/plugins/keep.txt", "planted");
    put("tree/lib/plugins/new.so", "planted");
    try {
        replaceFiles(dir_.file("tree"), dir_.file("install"));
        ADD_FAILURE() << "the copy went through the link";
    } catch (const ReplaceFailed& failure) {
        EXPECT_NE(std::string(failure.what()).find("is a symbolic link"), std::string::npos) << failure.what();
    }
    EXPECT_EQ(at("elsewhere/keep.txt"), "someone else's");
    EXPECT_FALSE(exists("elsewhere/new.so"));
    EXPECT_FALSE(exists("elsewhere/keep.txt.old"));
    EXPECT_EQ(at("install/a-first.txt"), "first v1");
}

TEST_F(UpdateFiles, AFailurePartWayRestoresEveryFile) {
    put("install/a-first.txt", "first v1");
    put("install/brisvanesrv", "server v1");
    put("install/zz-blocked.txt", "blocked v1");
    // An ".old" name held by a folder with contents: the file cannot be
    // moved aside, and the folder is not someone's to delete.
    put("install/zz-blocked.txt.old/keep.txt", "keep");
    put("tree/a-first.txt", "first v2");
    put("tree/b-added/new.txt", "added");
    put("tree/brisvanesrv", "server v2");
    put("tree/zz-blocked.txt", "blocked v2");

    try {
        replaceFiles(dir_.file("tree"), dir_.file("install"));
        ADD_FAILURE() << "the copy went through";
    } catch (const ReplaceFailed& failure) {
        EXPECT_NE(std::string(failure.what()).find("zz-blocked.txt"), std::string::npos) << failure.what();
        EXPECT_TRUE(failure.undoProblems().empty());
    }
    EXPECT_EQ(at("install/a-first.txt"), "first v1");
    EXPECT_EQ(at("install/brisvanesrv"), "server v1");
    EXPECT_EQ(at("install/zz-blocked.txt"), "blocked v1");
    EXPECT_EQ(at("install/zz-blocked.txt.old/keep.txt"), "keep");
    EXPECT_FALSE(exists("install/b-added/new.txt"));
    EXPECT_FALSE(exists("install/a-first.txt.old"));
    EXPECT_FALSE(exists("install/brisvanesrv.old"));
}

TEST_F(UpdateFiles, BackupHoldsProgramsStateAndEveryCounterpartOfTheUpdate) {
    put("install/brisvanesrv", "server");
    put("install/brisvane", "tool");
    put("install/conf/serv.conf", "conf");
    put("install/mivrel/chat/properties.json", "{}");
    put("install/work/.runtime.properties", "APP_VERSION = 1.0.23\n");
    put("install/work/other.txt", "not backed up");
    put("install/models/a/model.json", "{\"m\":1}");
    put("install/models/a/weights.gguf", "weights");
    put("install/models/a/upper.JSON", "not .json");
    put("install/webapp/index.html", "page v1");
    put("install/backup/stale.txt", "stale");
    put("tree/webapp/index.html", "page v2");
    put("tree/webapp/added.html", "new");

    const std::string backup = dir_.file("install/backup");
    backupForRollback(dir_.file("install"), backup, dir_.file("tree"));
    for (const char* saved : {"brisvanesrv", "brisvane", "conf/serv.conf", "mivrel/chat/properties.json",
                              "work/.runtime.properties", "models/a/model.json", "webapp/index.html"}) {
        EXPECT_EQ(readTextFile(backup + "/" + saved), at(std::string("install/") + saved)) << saved;
    }
    for (const char* left : {"work/other.txt", "models/a/weights.gguf", "models/a/upper.JSON", "webapp/added.html",
                             "stale.txt"}) {
        EXPECT_FALSE(fs::exists(backup + "/" + left)) << left;
    }
}

}  // namespace
