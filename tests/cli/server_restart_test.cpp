// Starting the server program of a folder again without arguments (after an
// update), played by a script that records how it was started.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/server_process.h"
#include "support/temp_dir.h"

namespace {

TEST(RestartServer, StartsTheFoldersProgramThereWithoutArguments) {
    TempDir dir;
    writeTextFile(dir.file("brisvanesrv"),
                  "#!/bin/sh\n{ pwd; echo \"args=$#\"; } > started.tmp\nmv started.tmp started.txt\n");
    ASSERT_EQ(::chmod(dir.file("brisvanesrv").c_str(), 0755), 0);
    testing::internal::CaptureStderr();
    restartServer(dir.path());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::string started;
    for (int i = 0; i < 500 && started.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        started = readTextFile(dir.file("started.txt"));
    }
    EXPECT_EQ(started, std::filesystem::canonical(dir.path()).string() + "\nargs=0\n");

    testing::internal::CaptureStderr();
    restartServer(dir.file("missing"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: brisvanesrv 자동 재시작 실패 — 수동으로 실행해주세요.\n");
}

}  // namespace
