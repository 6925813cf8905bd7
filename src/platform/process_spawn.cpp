#include "platform/process_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace {

// Owners of the spawn attribute objects, destroyed on every way out.
struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// Standard input on /dev/null; output and error on /dev/null, or appended to
// `outputPath` when it is not empty.
pid_t spawnWithOutput(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workingDir, const std::string& outputPath, int* error) {
    FileActions files;
    int rc = posix_spawn_file_actions_addopen(&files.actions, 0, "/dev/null", O_RDONLY, 0);
    if (outputPath.empty()) {
        for (int fd = 1; fd <= 2 && rc == 0; ++fd)
            rc = posix_spawn_file_actions_addopen(&files.actions, fd, "/dev/null", O_WRONLY, 0);
    } else {
        if (rc == 0)
            rc = posix_spawn_file_actions_addopen(&files.actions, 1, outputPath.c_str(),
                                                  O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (rc == 0) rc = posix_spawn_file_actions_adddup2(&files.actions, 1, 2);
    }
    // Descriptors opened without close-on-exec (by libraries, say) must not
    // keep sockets or files of the caller alive in a long-running child.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&files.actions, 3);
    if (rc == 0 && !workingDir.empty())
        rc = posix_spawn_file_actions_addchdir_np(&files.actions, workingDir.c_str());

    SpawnAttributes spawn;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&spawn.attributes, &none);
    // Ignored signals (SIGPIPE in the caller) would stay ignored across exec.
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&spawn.attributes, &all);
    if (rc == 0)
        rc = posix_spawnattr_setflags(&spawn.attributes,
                                      POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc != 0) {
        if (error) *error = rc;
        return -1;
    }

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    rc = posix_spawn(&pid, program.c_str(), &files.actions, &spawn.attributes, argv.data(), environ);
    if (rc != 0) {
        if (error) *error = rc;
        return -1;
    }
    return pid;
}

}  // namespace

pid_t spawnDetached(const std::string& program, const std::vector<std::string>& args,
                    const std::string& workingDir, int* error) {
    return spawnWithOutput(program, args, workingDir, "", error);
}

pid_t spawnDetachedAppendingOutput(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& workingDir, const std::string& outputPath, int* error) {
    return spawnWithOutput(program, args, workingDir, outputPath, error);
}

int childExitStatus(pid_t pid, int* exitCode) {
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return 0;
    if (done < 0) return -1;
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return 1;
}
