// Runs a piece of a test in a child process whose address space is capped,
// so a test can show that some work stays within a memory bound: work that
// tries to hold more fails its allocation (or dies) and the child's exit
// status says so. Under the sanitizers, which reserve terabytes of address
// space up front, the cap is left off and only the body's own checks count.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <functional>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kAddressSpaceCanBeCapped = false;
#else
inline constexpr bool kAddressSpaceCanBeCapped = true;
#endif

// Forks, caps the child's address space at `bytes` and runs `body` there
// (at most 60 s). True when the body returned normally; a body ends the
// child with ::_exit(non-zero) to report a failed check. Call it only where
// no other thread of the test holds a lock the body needs.
inline bool runsWithinAddressSpace(size_t bytes, const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        rlimit limit{bytes, bytes};
        if (kAddressSpaceCanBeCapped) ::setrlimit(RLIMIT_AS, &limit);
        ::alarm(60);  // an endless read ends the child, not the test run
        try {
            body();
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
