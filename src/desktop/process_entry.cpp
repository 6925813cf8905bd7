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
    stopCpuSampler();
    if (!shutdownApp()) {
        // A connection thread is still running and may use the objects that
        // static destructors would free: leave without running them.
        logMessage(2, "[main] connection threads still running — exiting without cleanup");
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    std::fflush(nullptr);
    return exitCode;
}

void reportStartupFailure(int code) {
    std::fprintf(stderr, "[main] Brisvane 시작 오류 (code %d): %s\n", code, startupErrorText(code));
    if (logFileOpen) logMessage(1, "[main] Brisvane 시작 오류 (code %d): %s", code, startupErrorText(code));
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

const char* startupErrorText(int code) {
    switch (code) {
        case 1001:
        case 1002: return "잘못된 실행 인자입니다.";
        case 1011: return "설정 파일을 찾을 수 없습니다. conf/serv.conf 파일을 확인해주세요.";
        case 1104: return "필수 디렉토리를 생성할 수 없습니다. 설치 경로의 쓰기 권한을 확인해주세요.";
        case 1302: return "서버 포트를 열 수 없습니다. 포트가 이미 사용 중이거나 네트워크 오류입니다.";
        default: return "서버 시작에 실패했습니다.";
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
    initProcessPlatform();
    blockTerminationSignals();

    InstanceLock lock;
    std::string lockError;
    switch (lock.acquire(instanceLockPath(), &lockError)) {
        case InstanceLock::Result::HeldElsewhere:
            std::fprintf(stderr, "brisvanesrv is already running\n");
            return 0;
        case InstanceLock::Result::Failed:
            std::fprintf(stderr, "[main] single-instance guard unavailable: %s\n", lockError.c_str());
            break;
        case InstanceLock::Result::Acquired: break;
    }

    // The slots are read without a lock once connections arrive.
    installApiRoutes();
    installMgmtRoutes();
    installWebRoutes();

    // The thread reads the arguments for the life of the process.
    std::thread(runServerThread, argc, argv).detach();

    for (;;) {
        const int signal = waitForTerminationSignal(kSignalPollMs);
        if (signal != 0) {
            // The logger and the server are the server thread's until start-up
            // has settled; only then may this thread use them.
            auto settled = [] { return serverThreadIdle.load() || serverStartResult.load() >= 0; };
            for (int waited = 0; !settled() && waited < kStartupSettleMs; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!settled()) {
                std::fflush(nullptr);
                std::_Exit(0);
            }
        }
        const int result = serverStartResult.load();
        if (result >= 0 && !startupComplete.load()) {
            if (result != 1) reportStartupFailure(result);
            return finish(exitCodeForStartResult(result));
        }
        if (signal != 0) {
            logMessage(3, "[main] signal %d — shutting down", signal);
            return finish(0);
        }
    }
}
