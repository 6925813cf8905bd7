#include "desktop/process_entry.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "api/api_routes.h"
#include "app/app_init.h"
#include "app/server_startup.h"
#include "base/logger.h"
#include "base/version.h"
#include "config/startup_state.h"
#include "desktop/desktop_loader.h"
#include "desktop/process_mode.h"
#include "desktop/second_instance.h"
#include "desktop/server_desktop_host.h"
#include "mgmt_api/mgmt_router.h"
#include "platform/instance_lock.h"
#include "platform/process_init.h"
#include "platform/termination_signals.h"
#include "sysinfo/cpu_sampler.h"
#include "web/web_routes.h"

std::atomic<int> serverStartResult{-1};

namespace {

constexpr int kSignalPollMs = 100;
// How long a termination signal that arrives during start-up waits for
// start-up to settle before the process ends regardless.
constexpr int kStartupSettleMs = 5000;

// Ends the process after a termination signal or a failed start-up.
int finish(int exitCode) {
    // A server that said where it listens also says that it stopped.
    const bool announced = startupComplete.load();
    if (announced) {
        std::printf("brisvanesrv is stopping...\n");
        std::fflush(stdout);
    }
    stopCpuSampler();
    if (!shutdownApp()) {
        // A connection thread is still running and may use the objects that
        // static destructors would free: leave without running them.
        logMessage(2, "[main] connection threads still running — exiting without cleanup");
        if (announced) std::printf("brisvanesrv stopped\n");
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    if (announced) std::printf("brisvanesrv stopped\n");
    std::fflush(nullptr);
    return exitCode;
}

// The desktop's exit path: the same, but the toolkit's threads and the web
// views' helper processes are never taken down by static destructors.
[[noreturn]] void finishDesktop(int exitCode) {
    finish(exitCode);
    std::fflush(nullptr);
    std::_Exit(exitCode);
}

void reportStartupFailure(int code) {
    const std::string text = startupErrorText(code);
    std::fprintf(stderr, "[main] %s (code %d): %s\n", kStartupErrorCaption, code, text.c_str());
    if (logFileOpen) logMessage(1, "[main] %s (code %d): %s", kStartupErrorCaption, code, text.c_str());
}

// True once the logger and the server may be used from this thread.
bool startupSettled() { return serverThreadIdle.load() || serverStartResult.load() >= 0; }

// Waits for start-up to settle after a termination signal; a start-up that
// does not settle in time ends the process at once.
void settleOrLeave() {
    for (int waited = 0; !startupSettled() && waited < kStartupSettleMs; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!startupSettled()) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

// A start-up failure (or "help") that has not been reported yet: the exit
// code to end with, or -1 while none.
int pendingStartupExit() {
    const int result = serverStartResult.load();
    if (result < 0 || startupComplete.load()) return -1;
    return result;
}

int runHeadless() {
    for (;;) {
        const int signal = waitForTerminationSignal(kSignalPollMs);
        // The logger and the server are the server thread's until start-up
        // has settled; only then may this thread use them.
        if (signal != 0) settleOrLeave();
        const int result = pendingStartupExit();
        if (result >= 0) {
            if (result != 1) reportStartupFailure(result);
            return finish(exitCodeForStartResult(result));
        }
        if (signal != 0) {
            logMessage(3, "[main] signal %d — shutting down", signal);
            return finish(0);
        }
    }
}

// Runs the shell's main loop on this thread while another thread collects
// termination signals and asks the loop to end. Returns only when the
// display could not be opened: the caller then goes on headless.
void runDesktop(const DesktopShellLibrary& shell, const std::string& socketPath) {
    const DesktopHost host = makeServerDesktopHost(socketPath);
    std::atomic<bool> loopEnded{false};
    std::atomic<int> signalSeen{0};
    std::thread signalWatcher([&] {
        while (!loopEnded.load()) {
            const int signal = waitForTerminationSignal(kSignalPollMs);
            if (signal == 0) continue;
            settleOrLeave();
            signalSeen.store(signal);
            shell.requestQuit();
            return;
        }
    });
    const DesktopOutcome outcome = shell.run(&host);
    loopEnded.store(true);
    signalWatcher.join();

    switch (outcome.reason) {
        case DesktopOutcome::Reason::NoDisplay:
            std::fprintf(stderr, "[main] the display cannot be opened — running headless\n");
            if (signalSeen.load() != 0) requestProcessTermination();
            return;
        case DesktopOutcome::Reason::StartupFailed:
            if (outcome.code != 1) reportStartupFailure(outcome.code);
            finishDesktop(exitCodeForStartResult(outcome.code));
        case DesktopOutcome::Reason::Exit:
            logMessage(3, "[main] Exit — shutting down");
            finishDesktop(0);
        case DesktopOutcome::Reason::QuitRequested: break;
    }
    const int result = pendingStartupExit();
    if (result >= 0) {
        if (result != 1) reportStartupFailure(result);
        finishDesktop(exitCodeForStartResult(result));
    }
    logMessage(3, "[main] signal %d — shutting down", signalSeen.load());
    finishDesktop(0);
}

}  // namespace

bool handleVersionArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("\nbrisvanesrv %s\n", kAppVersion);
            std::fflush(stdout);
            return true;
        }
    }
    return false;
}

std::string instanceLockPath() {
    const char* configured = std::getenv("BRISVANE_LOCK_FILE");
    if (configured && *configured) return configured;
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir && *runtimeDir) return std::string(runtimeDir) + "/brisvanesrv.lock";
    return "/tmp/brisvanesrv-" + std::to_string(::getuid()) + ".lock";
}

int exitCodeForStartResult(int code) { return code == 1 ? 0 : (code & 0xFF); }

std::string startupErrorText(int code) {
    switch (code) {
        case 1001:
        case 1002: return "잘못된 실행 인자입니다.";
        case 1011: return "설정 파일을 찾을 수 없습니다.\n\nconf/serv.conf 파일을 확인해주세요.";
        case 1104: return "필수 디렉토리를 생성할 수 없습니다.\n\n설치 경로의 쓰기 권한을 확인해주세요.";
        case 1302: return "서버 포트를 열 수 없습니다.\n\n포트가 이미 사용 중이거나 네트워크 오류입니다.";
        default: return "서버 시작에 실패했습니다.\n\n오류 코드: " + std::to_string(code);
    }
}

void runServerThread(int argc, char** argv) {
    int result;
    try {
        result = serverMain(argc, argv);
    } catch (const std::exception& e) {
        logMessage(1, "[WinMain] serverMain 예외 발생: %s", e.what());
        result = 9999;
    } catch (...) {
        logMessage(1, "[WinMain] serverMain 알 수 없는 예외 발생");
        result = 9999;
    }
    serverStartResult.store(result);
}

int runProcess(int argc, char** argv) {
    if (handleVersionArgument(argc, argv)) return 0;
    // The server thread reads the arguments for the life of the process.
    static ProcessMode mode;
    mode = chooseProcessMode(argc, argv);
    initProcessPlatform();
    blockTerminationSignals();

    const std::string lockPath = instanceLockPath();
    const std::string socketPath = instanceSocketPath(lockPath);
    InstanceLock lock;
    std::string lockError;
    switch (lock.acquire(lockPath, &lockError)) {
        case InstanceLock::Result::HeldElsewhere:
            // A desktop instance shows its main window; a headless one does
            // not listen.
            if (askRunningInstanceToShow(socketPath))
                std::fprintf(stderr, "brisvanesrv is already running — its main window was asked to show\n");
            else
                std::fprintf(stderr, "brisvanesrv is already running\n");
            return 0;
        case InstanceLock::Result::Failed:
            std::fprintf(stderr, "[main] single-instance guard unavailable: %s\n", lockError.c_str());
            break;
        case InstanceLock::Result::Acquired: break;
    }

    DesktopShellLibrary shell;
    if (mode.desktop) {
        std::string error;
        if (!loadDesktopShell(&shell, &error)) {
            std::fprintf(stderr, "[main] desktop shell unavailable (%s) — running headless\n", error.c_str());
            mode.desktop = false;
        }
    }

    // The slots are read without a lock once connections arrive.
    installApiRoutes(appRoutes(), appServices());
    installMgmtRoutes(appRoutes(), appServices());
    installWebRoutes(appRoutes());

    std::thread(runServerThread, static_cast<int>(mode.serverArgs.size()) - 1, mode.serverArgs.data()).detach();

    // Only a lock holder may take over the socket's path.
    if (mode.desktop) runDesktop(shell, lock.held() ? socketPath : std::string());
    return runHeadless();
}
