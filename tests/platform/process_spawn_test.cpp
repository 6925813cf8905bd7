// Starting a program detached: its own session, standard streams on
// /dev/null, no descriptor of the caller, default signals, the chosen folder.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/process_spawn.h"
#include "support/temp_dir.h"

namespace {

// Waits for a spawned child to end; -1 when it still runs after 10 s.
int waitChild(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        int code = 0;
        if (childExitStatus(pid, &code) == 1) return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

TEST(SpawnDetached, ChildRunsInItsOwnSessionWithNothingInherited) {
    TempDir dir;
    // A descriptor without close-on-exec and an ignored signal in the caller.
    const std::string marker = dir.file("marker.txt");
    writeTextFile(marker, "x");
    const int leaked = ::open(marker.c_str(), O_RDONLY);
    ASSERT_GE(leaked, 3);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);

    int error = 0;
    const pid_t pid = spawnDetached("/bin/sleep", {"30"}, dir.path(), &error);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::close(leaked);
    ASSERT_GT(pid, 0) << error;

    // The running child as the system sees it.
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string status;
    for (int i = 0; i < 500; ++i) {
        status = readTextFile(proc + "/status");
        // The name changes during exec a moment before the new arguments
        // are readable: wait for both.
        if (status.find("Name:\tsleep\n") != std::string::npos && !readTextFile(proc + "/cmdline").empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Standard signals 1..31 at their defaults; glibc's spawn leaves its own
    // internal real-time signals ignored, and glibc sets handlers for them
    // itself when it needs them.
    const size_t ignored = status.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos) << status;
    EXPECT_EQ(std::stoull(status.substr(ignored + 8, 16), nullptr, 16) & 0x7FFFFFFFull, 0u) << status;
    EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
    const std::string stat = readTextFile(proc + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state, parent, group, session;
    fields >> state >> parent >> group >> session;
    EXPECT_EQ(session, std::to_string(pid)) << "a session of its own: " << stat;
    EXPECT_EQ(group, std::to_string(pid));
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), std::filesystem::canonical(dir.path()));
    EXPECT_EQ(readTextFile(proc + "/cmdline"), std::string("/bin/sleep\0" "30\0", 14));
    // Right after the exec the dynamic loader holds the libraries it maps open
    // for a moment; an inherited descriptor would stay, so the set is read
    // again until it settles.
    const std::vector<std::string> expected{"0 /dev/null", "1 /dev/null", "2 /dev/null"};
    std::vector<std::string> descriptors;
    for (int attempt = 0; attempt < 200; ++attempt) {
        descriptors.clear();
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec))
            descriptors.push_back(entry.path().filename().string() + " " +
                                  std::filesystem::read_symlink(entry.path(), ec).string());
        std::sort(descriptors.begin(), descriptors.end());
        if (descriptors == expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(descriptors, expected);

    ::kill(pid, SIGKILL);
    EXPECT_EQ(waitChild(pid), 128 + SIGKILL);
}

TEST(SpawnDetached, OutputIsAppendedToTheLogAndNothingElseInherited) {
    TempDir dir;
    const std::string log = dir.file("app_update.log");
    writeTextFile(log, "earlier run\n");
    const int leaked = ::open(log.c_str(), O_RDONLY);
    ASSERT_GE(leaked, 3);
    int error = 0;
    // Both streams, and the descriptors the child holds, as it sees them.
    const pid_t pid = spawnDetachedAppendingOutput(
        "/bin/sh", {"-c", "echo out; echo err >&2; ls /proc/self/fd | wc -l"}, dir.path(), log, &error);
    ::close(leaked);
    ASSERT_GT(pid, 0) << error;
    EXPECT_EQ(waitChild(pid), 0);
    // 0, 1, 2 and the one ls opens to list them.
    EXPECT_EQ(readTextFile(log), "earlier run\nout\nerr\n4\n");

    EXPECT_EQ(spawnDetachedAppendingOutput("/bin/true", {}, "", dir.file("missing/x.log"), &error), -1);
    EXPECT_EQ(error, ENOENT);
}

TEST(SpawnDetached, MissingProgramReportsTheSystemError) {
    int error = 0;
    EXPECT_EQ(spawnDetached("/nonexistent/program", {}, "", &error), -1);
    EXPECT_EQ(error, ENOENT);
    TempDir dir;
    EXPECT_EQ(spawnDetached("/bin/true", {}, dir.file("missing-folder"), &error), -1);
    EXPECT_EQ(error, ENOENT);
}

TEST(SpawnDetached, ExitStatusWhileRunningAfterTheEndAndOfNoChild) {
    int error = 0;
    const pid_t running = spawnDetached("/bin/sleep", {"30"}, "", &error);
    ASSERT_GT(running, 0);
    int code = 0;
    EXPECT_EQ(childExitStatus(running, &code), 0) << "still running";
    ::kill(running, SIGKILL);
    EXPECT_EQ(waitChild(running), 128 + SIGKILL);
    EXPECT_EQ(childExitStatus(running, &code), -1) << "reaped";

    const pid_t failing = spawnDetached("/bin/sh", {"-c", "exit 7"}, "", &error);
    ASSERT_GT(failing, 0);
    EXPECT_EQ(waitChild(failing), 7);
}

}  // namespace
