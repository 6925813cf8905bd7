// Runs the built brisvanesrv as a child process for integration tests: in a
// chosen working directory, with a controlled environment, its standard
// output and error captured to files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TempDir;

// The full path of the built brisvanesrv.
std::string brisvanesrvPath();

// A loopback TCP port that was free a moment ago.
uint16_t freeLoopbackPort();

// Writes home/conf/serv.conf with `text` (creating "conf").
void writeServerConf(const std::string& home, const std::string& text);

// The usual test configuration: 127.0.0.1 and `port`, plus `extra` lines.
std::string testServerConf(uint16_t port, const std::string& extra = "");

class ServerProcess {
public:
    ServerProcess();
    // Stops a running server (SIGTERM, then SIGKILL after 10 s).
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `program` (brisvanesrv by default) with `args` in `cwd`. The
    // child's environment is this process's without BRISVANE_HOME,
    // BRISVANE_LOCK_FILE, DISPLAY and WAYLAND_DISPLAY (so it runs headless),
    // then `env` applied; BRISVANE_LOCK_FILE defaults to a
    // file of this object's own, so servers of parallel tests never meet.
    // Returns false when the process cannot be started.
    bool start(const std::vector<std::string>& args, const std::string& cwd,
               const std::map<std::string, std::string>& env = {}, const std::string& program = "");

    // Waits until 127.0.0.1:`port` accepts connections (true) or the process
    // ends or `timeoutMs` passes (false).
    bool waitListening(uint16_t port, int timeoutMs = 20000);

    // Waits for the process to end. Returns its exit code (128 + signal when a
    // signal ended it), or -1 when it still runs after `timeoutMs`.
    int waitExit(int timeoutMs = 20000);

    // Sends `signal` and waits; kills it after `timeoutMs`. Returns the exit code.
    int stop(int signal = 15, int timeoutMs = 10000);

    bool running() const { return pid_ > 0 && !exited_; }
    pid_t pid() const { return pid_; }
    std::string stdoutText() const;
    std::string stderrText() const;
    // The lock file the process was given.
    const std::string& lockFile() const { return lockFile_; }

private:
    std::unique_ptr<TempDir> captureDir_;
    std::string lockFile_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitCode_ = -1;
};

// Runs brisvanesrv to its end (for start-up failures, "help", "--version").
struct ServerRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};
ServerRun runServerToExit(const std::vector<std::string>& args, const std::string& cwd,
                          const std::map<std::string, std::string>& env = {}, int timeoutMs = 20000);
