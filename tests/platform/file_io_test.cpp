#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

bool hasCloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(FileIo, DescriptorsAndStreamsAreCloseOnExec) {
    TempDir dir;
    const int fd = openFileCloexec(dir.file("a"), O_CREAT | O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(hasCloexec(fd));
    ::close(fd);

    for (const char* mode : {"w", "rb", "ae"}) {
        FILE* f = openStreamCloexec(dir.file("a"), mode);
        ASSERT_NE(f, nullptr) << mode;
        EXPECT_TRUE(hasCloexec(::fileno(f))) << mode;
        std::fclose(f);
    }
}

TEST(FileIo, ReplaceCreatesAndReplacesWhole) {
    TempDir dir;
    const std::string path = dir.file("state");
    ASSERT_TRUE(replaceFileDurably(path, "first"));
    EXPECT_EQ(readTextFile(path), "first");
    ASSERT_TRUE(replaceFileDurably(path, "second, longer"));
    EXPECT_EQ(readTextFile(path), "second, longer");
    ASSERT_TRUE(replaceFileDurably(path, ""));
    EXPECT_EQ(readTextFile(path), "");
    // No temporary file is left behind after success.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(FileIo, ReplaceFailureKeepsOldFileAndReports) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(replaceFileDurably(dir.file("missing/sub/file"), "x", &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;

    // Renaming onto a folder fails: the folder stays and no temporary is left.
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_FALSE(replaceFileDurably(dir.file("folder"), "x", &error));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// The process dies right after each step of a replacement: the file must then
// hold the old content or the new one, never a mix or nothing.
TEST(FileIo, ReplaceSurvivesDeathBetweenSteps) {
    const std::string oldContent(10000, 'o');
    const std::string newContent(20000, 'n');
    for (int dieAfter = 1; dieAfter <= 4; ++dieAfter) {
        TempDir dir;
        const std::string path = dir.file("state");
        ASSERT_TRUE(replaceFileDurably(path, oldContent));
        static int gDieAfter;
        gDieAfter = dieAfter;
        const int status = runInChild([&] {
            replaceFileDurably(path, newContent, nullptr, [](int step) {
                if (step == gDieAfter) ::_exit(42);
            });
        });
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 42);
        const std::string got = readTextFile(path);
        EXPECT_EQ(got, dieAfter < 3 ? oldContent : newContent) << "died after step " << dieAfter;
    }
}

TEST(FileIo, ParentDirectory) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a/b/c", "/a/b"}, {"c", "."}, {"/c", "/"}, {"a/b", "a"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(parentDirectory(in), out) << in;
}

}  // namespace
