#include "support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int runInChild(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}
