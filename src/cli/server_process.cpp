#include "cli/server_process.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "base/json_parse.h"
#include "cli/command_line.h"
#include "cli/server_client.h"
#include "platform/process_spawn.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollIntervalMs = 300;
constexpr char kStatusPath[] = "/mgmt-api/cli/status";

std::string serverProgramIn(const std::string& dir) { return (fs::path(dir) / "brisvanesrv").string(); }

void printPortInUse(int port) {
    std::cerr << "Error: port " << port << " is in use by another program (not brisvanesrv).\n";
}

void printNoReply(int port) {
    std::cerr << "Error: a program on port " << port << " accepts connections but sent no reply within "
              << kProbeReplyTimeoutMs / 1000 << "s (brisvanesrv not responding?).\n";
}

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

}  // namespace

ProbeResult probeServer(const ServerAddress& address) {
    std::string body;
    try {
        body = httpGet(address.host, address.port, kStatusPath, kProbeReplyTimeoutMs);
    } catch (const ServerUnreachable&) {
        return ProbeResult::Nothing;
    } catch (const ServerNoReply&) {
        return ProbeResult::NoReply;
    }
    const nlohmann::json status = parseJsonOrDiscarded(body);
    if (status.is_object() && status.contains("process")) return ProbeResult::Answers;
    return ProbeResult::NotServer;
}

bool ensureServerRunning(const ServerAddress& address, const std::string& home, const std::string& confPath,
                         int seconds) {
    switch (probeServer(address)) {
        case ProbeResult::Answers: return true;
        case ProbeResult::NotServer: printPortInUse(address.port); return false;
        case ProbeResult::NoReply: printNoReply(address.port); return false;
        case ProbeResult::Nothing: break;
    }

    const std::string program = serverProgramIn(exeDir());
    std::error_code ec;
    if (!fs::exists(program, ec)) {
        std::cerr << "Error: brisvanesrv is not running and " << program << " was not found.\n";
        return false;
    }
    std::cout << "brisvanesrv is not running — starting it...\n" << std::flush;

    std::string absoluteConf = confPath;
    if (const fs::path absolute = fs::absolute(confPath, ec); !ec) absoluteConf = absolute.string();
    int spawnError = 0;
    const pid_t pid = spawnDetached(program, {"--conf", absoluteConf}, home, &spawnError);
    if (pid < 0) {
        std::cerr << "Error: failed to start brisvanesrv (posix_spawn error " << spawnError << ": "
                  << std::strerror(spawnError) << ").\n";
        return false;
    }

    const Clock::time_point started = Clock::now();
    ProbeResult probe = probeServer(address);
    bool ended = false;
    while (probe != ProbeResult::Answers) {
        if (probe == ProbeResult::NotServer) {
            printPortInUse(address.port);
            return false;
        }
        int exitCode = 0;
        if (!ended && childExitStatus(pid, &exitCode) == 1) {
            if (exitCode != 0) {
                std::cerr << "Error: brisvanesrv exited during startup (exit code " << exitCode << "). Check "
                          << (fs::path(home) / "logs").string() << "\n";
                return false;
            }
            // A second server that found the first one's lock ends with 0:
            // the first may still come up on the port.
            ended = true;
        }
        if (elapsedMs(started) >= seconds * 1000LL) {
            std::cerr << "Error: brisvanesrv did not respond within " << seconds << "s.\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        probe = probeServer(address);
    }
    std::cout << "brisvanesrv started.\n" << std::flush;
    return true;
}

bool requestShutdown(const ServerAddress& address) {
    try {
        postJson(address.host, address.port, "/mgmt-api/cli/shutdown", "{}");
        return true;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return false;
    }
}

bool waitServerStopped(const ServerAddress& address, int timeoutMs) {
    const Clock::time_point started = Clock::now();
    for (;;) {
        try {
            httpGet(address.host, address.port, kStatusPath, kProbeReplyTimeoutMs);
        } catch (const ServerUnreachable&) {
            return true;
        } catch (const std::exception&) {
            // Accepted but no reply, or a broken reply: something still
            // holds the port.
        }
        if (elapsedMs(started) >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
    }
}

void restartServer(const std::string& dir) {
    int spawnError = 0;
    if (spawnDetached(serverProgramIn(dir), {}, dir, &spawnError) < 0)
        std::cerr << "Warning: brisvanesrv 자동 재시작 실패 — 수동으로 실행해주세요.\n";
}
