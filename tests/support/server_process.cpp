#include "support/server_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"
#include "support/test_paths.h"

extern char** environ;

std::string brisvanesrvPath() { return builtProgramsDir() + "/brisvanesrv"; }

uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void writeServerConf(const std::string& home, const std::string& text) {
    std::filesystem::create_directories(home + "/conf");
    writeTextFile(home + "/conf/serv.conf", text);
}

std::string testServerConf(uint16_t port, const std::string& extra) {
    return "SERV_IP=127.0.0.1\nSERV_PORT=" + std::to_string(port) + "\n" + extra;
}

ServerProcess::ServerProcess() : captureDir_(std::make_unique<TempDir>()) {
    lockFile_ = captureDir_->file("brisvanesrv.lock");
}

ServerProcess::~ServerProcess() {
    if (running()) stop(SIGTERM, 10000);
}

bool ServerProcess::start(const std::vector<std::string>& args, const std::string& cwd,
                          const std::map<std::string, std::string>& env, const std::string& program) {
    const std::string path = program.empty() ? brisvanesrvPath() : program;
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());

    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals == std::string::npos) continue;
        variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    variables.erase("BRISVANE_HOME");
    // Servers run headless unless a test hands them a display.
    variables.erase("DISPLAY");
    variables.erase("WAYLAND_DISPLAY");
    variables["BRISVANE_LOCK_FILE"] = lockFile_;
    for (const auto& [key, value] : env) variables[key] = value;
    lockFile_ = variables["BRISVANE_LOCK_FILE"];
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : variables) envStrings.push_back(key + "=" + value);

    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    const std::string outPath = captureDir_->file("stdout.txt");
    const std::string errPath = captureDir_->file("stderr.txt");

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
        // Signals blocked in the test runner must not stay blocked in the server.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    pid_ = pid;
    exited_ = false;
    exitCode_ = -1;
    return true;
}

bool ServerProcess::waitListening(uint16_t port, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitExit(0) != -1) return false;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int ServerProcess::waitExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (exited_) return exitCode_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exited_ = true;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitCode_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ServerProcess::stop(int signal, int timeoutMs) {
    if (!running()) return exitCode_;
    ::kill(pid_, signal);
    const int code = waitExit(timeoutMs);
    if (code != -1) return code;
    ::kill(pid_, SIGKILL);
    return waitExit(10000);
}

std::string ServerProcess::stdoutText() const { return readTextFile(captureDir_->file("stdout.txt")); }
std::string ServerProcess::stderrText() const { return readTextFile(captureDir_->file("stderr.txt")); }

ServerRun runServerToExit(const std::vector<std::string>& args, const std::string& cwd,
                          const std::map<std::string, std::string>& env, int timeoutMs) {
    ServerProcess process;
    ServerRun run;
    if (!process.start(args, cwd, env)) return run;
    run.exitCode = process.waitExit(timeoutMs);
    if (run.exitCode == -1) run.exitCode = process.stop(SIGKILL);
    run.out = process.stdoutText();
    run.err = process.stderrText();
    return run;
}
