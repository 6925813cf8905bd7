#include "mgmt/update_handover.h"

#include <sys/types.h>

#include <cstring>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "config/server_config.h"
#include "platform/executable_path.h"
#include "platform/process_spawn.h"

namespace fs = std::filesystem;

bool triggerLocalUpdate(const std::string& word) {
    const std::string exeDir = executableDir();
    if (exeDir.empty()) {
        logMessage(1, "[mgmt] triggerLocalUpdate: 실행 파일 경로를 알 수 없음");
        return false;
    }
    const std::string tool = (fs::path(exeDir) / "brisvane").string();
    std::error_code ec;
    if (!fs::exists(tool, ec)) {
        logMessage(1, "[mgmt] triggerLocalUpdate: brisvane 를 찾을 수 없음: %s", tool.c_str());
        return false;
    }

    std::string home = fs::current_path(ec).string();
    if (ec || home.empty()) home = exeDir;
    const fs::path logDir = fs::path(home) / "logs";
    fs::create_directories(logDir, ec);  // a failure shows when the log is opened
    const std::string logPath = (logDir / "app_update.log").string();

    std::vector<std::string> args{word};
    // The tool finds the server's address and home from the same file.
    const std::string& conf = ServerConfig::confPathAbsolute;
    if (!conf.empty() && fs::exists(conf, ec)) {
        args.push_back("--conf");
        args.push_back(conf);
    }
    int error = 0;
    const pid_t pid = spawnDetachedAppendingOutput(tool, args, home, logPath, &error);
    if (pid < 0) {
        logMessage(1, "[mgmt] triggerLocalUpdate: brisvane 실행 실패 (errno=%d %s)", error, std::strerror(error));
        return false;
    }
    // Reaps the tool when it ends while this server still runs (a check
    // with no update, say), so no zombie is left behind.
    std::thread([pid] {
        int exitCode = 0;
        while (childExitStatus(pid, &exitCode) == 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    }).detach();
    logMessage(3, "[mgmt] triggerLocalUpdate: brisvane %s 트리거됨 (PID=%ld, log=%s)", word.c_str(),
               static_cast<long>(pid), logPath.c_str());
    return true;
}
