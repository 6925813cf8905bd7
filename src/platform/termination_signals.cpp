#include "platform/termination_signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {
sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void blockTerminationSignals() {
    const sigset_t set = terminationSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForTerminationSignal(int timeoutMs) {
    const sigset_t set = terminationSet();
    timespec wait{};
    wait.tv_sec = timeoutMs / 1000;
    wait.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    for (;;) {
        const int sig = ::sigtimedwait(&set, nullptr, &wait);
        if (sig > 0) return sig;
        if (errno == EINTR) continue;
        return 0;
    }
}

void requestProcessTermination() { ::kill(::getpid(), SIGTERM); }
