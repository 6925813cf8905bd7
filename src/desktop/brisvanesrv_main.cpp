// Process entry of brisvanesrv. Start-up proper lives in the app subsystem.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/logger.h"
#include "app/version.h"
#include "platform/process_init.h"

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        std::printf("%s\n", kAppVersion);
        return 0;
    }
    initProcessPlatform();
    logMessage(3, "[main] running... (Ctrl+C to stop)");
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}
