#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/executable_path.h"
#include "platform/process_init.h"
#include "platform/socket_errors.h"
#include "support/child_process.h"

namespace {

TEST(ExecutablePath, NamesThisTestProgram) {
    const std::string path = executablePath();
    EXPECT_EQ(path, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(std::filesystem::path(path).filename(), "platform_tests");
    EXPECT_EQ(executableDir(), std::filesystem::path(path).parent_path().string());
}

TEST(ProcessInit, WriteToClosedSocketReportsInsteadOfKilling) {
    const int status = runInChild([] {
        initProcessPlatform();
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ::_exit(3);
        ::close(fds[1]);
        const ssize_t n = ::write(fds[0], "x", 1);
        ::_exit(n < 0 && errno == EPIPE ? 0 : 4);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SocketErrors, MapToWinsockCodes) {
    struct Case { int err; bool receiveTimedOut; int code; };
    const Case cases[] = {
        {ETIMEDOUT, false, 10060}, {EAGAIN, true, 10060},   {EAGAIN, false, 10035},
        {EINPROGRESS, false, 10036}, {ECONNRESET, false, 10054}, {EPIPE, false, 10054},
        {ECONNREFUSED, false, 10061}, {ECONNABORTED, false, 10053}, {ENOTCONN, false, 10057},
        {EADDRINUSE, false, 10048}, {EHOSTUNREACH, false, 10065}, {EINTR, false, 10004},
        {ENOENT, false, 20000 + ENOENT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winsockErrorFromErrno(c.err, c.receiveTimedOut), c.code) << "errno " << c.err;
    }
    EXPECT_EQ(sockerr::kClosed, -1);
}

}  // namespace
