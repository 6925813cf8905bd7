#include "tool_runner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/server_process.h"
#include "support/test_paths.h"

namespace fs = std::filesystem;

namespace {

// Waits for a child to end; -1 when it still runs after `timeoutMs`.
int waitChild(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

ToolInstall::ToolInstall(bool withServer) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    fs::create_directories(binDir());
    fs::copy_file(builtProgramsDir() + "/brisvane", binDir() + "/brisvane");
    if (withServer) fs::create_symlink(brisvanesrvPath(), binDir() + "/brisvanesrv");
}

ToolInstall::~ToolInstall() {
    for (const pid_t pid : adoptedServers()) {
        ::kill(pid, SIGTERM);
        int code = waitChild(pid, 20000);
        if (code == -1) {
            ::kill(pid, SIGKILL);
            code = waitChild(pid, 10000);
        }
        EXPECT_EQ(code, 0) << "server " << pid << " started by the tool";
    }
}

ToolRun ToolInstall::run(const std::vector<std::string>& args, const std::string& cwd,
                         const std::map<std::string, std::string>& env, int timeoutMs) const {
    ServerProcess process;
    ToolRun result;
    // The tool's own lock-file default would point the servers it starts
    // into the capture folder of this run, which goes away with it.
    // Servers of a thread-sanitizer build read the suppressions of ggml's
    // own thread pool, as the tests' servers do.
    std::map<std::string, std::string> variables = {
        {"BRISVANE_LOCK_FILE", dir_.file("brisvanesrv.lock")},
        {"TSAN_OPTIONS", "suppressions=" + sourceDir() + "/tests/sanitizers/tsan.supp"}};
    for (const auto& [name, value] : env) variables[name] = value;
    if (!process.start(args, cwd, variables, binDir() + "/brisvane")) return result;
    result.exitCode = process.waitExit(timeoutMs);
    if (result.exitCode == -1) process.stop(SIGKILL);
    result.out = process.stdoutText();
    result.err = process.stderrText();
    return result;
}

std::vector<pid_t> ToolInstall::adoptedServers() const {
    std::vector<pid_t> found;
    const std::string self = std::to_string(::getpid());
    const std::string server = fs::canonical(brisvanesrvPath()).string();
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = readTextFile(entry.path().string() + "/stat");
        // "pid (comm) state ppid ...": the name may hold blanks, not ")".
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string state, ppid, group, session;
        fields >> state >> ppid >> group >> session;
        // The tool starts servers in sessions of their own; servers the test
        // started itself share its session and are not the tool's.
        if (ppid != self || session != name) continue;
        std::error_code ec;
        const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
        const pid_t pid = std::stoi(name);
        if (!ec && exe.string() == server) found.push_back(pid);
    }
    return found;
}

std::string processCwd(pid_t pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec).string();
}

std::vector<std::string> processArgs(pid_t pid) {
    const std::string text = readTextFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> args;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\0', start);
        args.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return args;
}

bool portAccepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}
