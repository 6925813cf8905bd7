// Running the built command-line tool brisvane in integration tests: from a
// folder of its own (a copy of the program beside a link to brisvanesrv, so
// files beside the executable and in its parent are the test's), with its
// output captured, and the servers it starts adopted and stopped by the test.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "support/temp_dir.h"

struct ToolRun {
    int exitCode = -1;  // -1: still running after the time-out, then killed
    std::string out;
    std::string err;
};

class ToolInstall {
public:
    // Copies brisvane to <dir>/bin and links brisvanesrv beside it (left out
    // when `withServer` is false). Makes this process the reaper of orphans,
    // so that servers the tool starts become its children.
    explicit ToolInstall(bool withServer = true);
    // Stops every server the tool started (SIGTERM) and expects each to end
    // with 0, so a sanitizer build of the server that saw a fault fails.
    ~ToolInstall();
    ToolInstall(const ToolInstall&) = delete;
    ToolInstall& operator=(const ToolInstall&) = delete;

    // <dir> and <dir>/bin.
    const std::string& root() const { return dir_.path(); }
    std::string binDir() const { return dir_.file("bin"); }

    // Runs the tool with `args` in `cwd`, its environment this process's
    // without BRISVANE_HOME, then `env` applied.
    ToolRun run(const std::vector<std::string>& args, const std::string& cwd,
                const std::map<std::string, std::string>& env = {}, int timeoutMs = 60000) const;

    // Servers started by the tool that are still running: this process's
    // children whose program is brisvanesrv and that lead their own session.
    std::vector<pid_t> adoptedServers() const;

private:
    TempDir dir_;
};

// The working directory and the command line of a running process.
std::string processCwd(pid_t pid);
std::vector<std::string> processArgs(pid_t pid);

// Whether something accepts connections on 127.0.0.1:`port` now.
bool portAccepts(uint16_t port);
