#include "app/server_startup.h"

#include <ggml.h>
#include <llama.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/app_init.h"
#include "app/home_discovery.h"
#include "app/open_address.h"
#include "base/library_log.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "base/version.h"
#include "config/app_init_exception.h"
#include "config/runtime_properties.h"
#include "config/server_config.h"
#include "config/startup_state.h"
#include "platform/cuda_devices.h"
#include "platform/file_io.h"
#include "relay/relay_lifecycle.h"

namespace fs = std::filesystem;

namespace {

const char kUsageText[] =
    "Brisvane (v1.0.23)\n"
    "--------------------------------------------------\n"
    "A runtime service that launches AI Mivrel instances\n"
    "Part of the Halvoro platform.\n"
    "\n"
    "Usage:\n"
    "  brisvanesrv                        # Run in service mode\n"
    "  brisvanesrv --verbose              # Verbose logging\n"
    "  brisvanesrv --developer            # Developer mode\n"
    "  brisvanesrv --conf <path>          # Specify conf file\n"
    "  brisvanesrv help                   # This message\n"
    "\n";

const char* const kBanner[] = {
    "",
    "   _   _    _    _ __     _____  ____   ___   ",
    "  | | | |  / \\  | |\\ \\   / / _ \\|  _ \\ / _ \\  ",
    "  | |_| | / _ \\ | | \\ \\ / / | | | |_) | | | | ",
    "  |  _  |/ ___ \\| |__\\ V /| |_| |  _ <| |_| | ",
    "  |_| |_/_/   \\_\\_____\\_/  \\___/|_| \\_\\\\___/  ",
    "",
};

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.string();
}

std::string currentDirectory() {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    return ec ? std::string(".") : cwd.string();
}

// Opens "logs/brisvane.log" afresh and hands it to the logger; on failure the
// log stays on standard output.
void openMainLog() {
    setLogEnabled(true);
    std::error_code ec;
    fs::create_directories("logs", ec);
    FILE* file = openStreamCloexec("logs/brisvane.log", "w");
    if (!file) return;
    std::setvbuf(file, nullptr, _IONBF, 0);
    setLogFile(file);
    logFileOpen = true;
}

void printBanner() {
    for (const char* line : kBanner) {
        std::printf("%s\n", line);
        logMessage(3, "%s", line);
    }
    std::printf("%s %s\nLocal execution layer for Halvoro\n\n", kProductName, kAppVersion);
    std::fflush(stdout);
    logMessage(3, "%s %s", kProductName, kAppVersion);
    logMessage(3, "Local execution layer for Halvoro");
    logMessage(3, "%s", "");
}

void reportEnvironment() {
    if (developerMode) {
        logMessage(3, "Local Bind : %s:%d", ServerConfig::SERV_IP.c_str(), ServerConfig::SERV_PORT);
        logMessage(3, "Remote Host: %s:%d", runtimeprops::rtsHost.c_str(), kRelayPort);
    }
    logMessage(3, "brisvane_id: %s", runtimeprops::brisvaneIdRelay.c_str());
    logMessage(3, "export      : %s", runtimeprops::brisvaneExport ? "true" : "false");
    const std::pair<const char*, const std::string*> dirs[] = {{"dir.mivrel : %s (%s)", &ServerConfig::DIR_MIVREL},
                                                              {"dir.models : %s (%s)", &ServerConfig::DIR_MODELS},
                                                              {"dir.logs   : %s (%s)", &ServerConfig::DIR_LOGS}};
    for (const auto& [format, value] : dirs) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        logMessage(3, format, value->c_str(), isAbsolutePath(*value) ? "absolute" : "relative");
#pragma GCC diagnostic pop
    }
    logMessage(3, "%s", "");

    logMessage(3, "[spec] CPU cores : %d", static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN)));
    const std::vector<CudaDeviceInfo> gpus = listCudaDevices();
    if (gpus.empty()) logMessage(3, "[spec] GPU      : none");
    for (size_t k = 0; k < gpus.size(); ++k) {
        logMessage(3, "[spec] GPU[%d]   : %s  %.1f GB", static_cast<int>(k), gpus[k].name.c_str(),
                   static_cast<double>(gpus[k].totalMemoryBytes) / (1024.0 * 1024.0 * 1024.0));
    }
    logMessage(9, "[main] APP 64-bit build");
    logMessage(9, "[main] CUDA device count: %d", cudaDeviceCount());
}

void installLibraryLogging() {
    void* sink = configuredLogLevel >= 5 ? static_cast<void*>(stderr) : nullptr;
    ggml_log_set([](ggml_log_level level, const char* text, void* user) { ggmlLogCallback(level, text, user); },
                 sink);
    llama_log_set([](ggml_log_level level, const char* text, void* user) { llamaLogCallback(level, text, user); },
                  sink);
}

}  // namespace

const char* usageText() { return kUsageText; }

int serverMain(int argc, char** argv) {
    const int64_t startMs = nowMs();
    serverStartTime.store(startMs / 1000);

    std::vector<std::string> args(argv + 1, argv + (argc > 0 ? argc : 1));
    if (!args.empty() && args[0] == "help") {
        std::fputs(kUsageText, stdout);
        std::fflush(stdout);
        return 1;
    }

    developerMode = false;
    configuredLogLevel = 2;

    bool confGiven = false;
    for (const std::string& arg : args) confGiven = confGiven || arg == "--conf";
    // Home discovery may change the current directory: a relative "--conf"
    // path must keep naming the same file.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--conf") continue;
        if (i + 1 < args.size()) args[i + 1] = absolutePath(args[i + 1]);
        break;
    }

    std::string homeSource;
    if (const int rc = discoverHome(confGiven, &homeSource); rc != 0) return rc;

    std::string confText;
    std::string confPath;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) continue;
        std::string name = arg.substr(2);
        name = name.substr(0, name.find(':'));
        if (name == "verbose") {
            configuredLogLevel = 4;
        } else if (name == "developer") {
            developerMode = true;
            configuredLogLevel = 9;
        } else if (name == "conf") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "[ERROR] --conf requires a file path\n");
                return 1002;
            }
            confPath = args[++i];
            try {
                confText = readFileToString(confPath);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "[ERROR] conf file read failed: %s\n", e.what());
                return 1011;
            }
        } else {
            std::fprintf(stderr, "[WARNING] Unknown argument: --%s\n", name.c_str());
            return 1001;
        }
    }

    if (confText.empty()) {
        std::string readError;
        auto [text, path] = findConfFile(&readError);
        if (!readError.empty()) {
            std::fprintf(stderr, "[ERROR] conf file read failed: %s\n", readError.c_str());
            return 1011;
        }
        confText = std::move(text);
        confPath = std::move(path);
    }
    if (confText.empty()) {
        std::fprintf(stderr, "[ERROR] No conf file found. Use --conf <path> or place conf/serv.conf\n");
        return 1011;
    }

    std::string configError;
    const int configResult = applyServerConfig(parseConfText(confText), &configError);
    if (configResult != 0) {
        std::fprintf(stderr, "[ERROR] %s\n", configError.c_str());
        return configResult;
    }
    ServerConfig::confPathAbsolute = absolutePath(confPath);

    openMainLog();
    if (configuredLogLevel > 0) setLogLevel(configuredLogLevel);
    logMessage(3, "[home] %s (from %s), conf=%s", currentDirectory().c_str(), homeSource.c_str(),
               ServerConfig::confPathAbsolute.c_str());
    printBanner();

    if (!firstStartup()) logMessage(2, "[main] firstStartup 실패 — 계속 진행합니다.");
    reportEnvironment();
    installLibraryLogging();

    // The status endpoints answer as soon as initApp has the server
    // listening, so a relay that stays off shows its state from the start.
    if (!runtimeprops::brisvaneExport) {
        relayStatus.store(runtimeprops::brisvaneIdRelay.empty() ? kGatewayUnregistered : kGatewayDown);
    }

    try {
        initApp();
    } catch (const AppInitException& e) {
        std::fprintf(stderr, "Application startup error: (ret=%d) %s\n", e.code(), e.what());
        return e.code();
    }

    if (runtimeprops::brisvaneExport) {
        startRtcClient(appServices().relayLocal);
    } else {
        logMessage(3, "[RTC] BRISVANE_EXPORT=false — RTC 클라이언트 미기동");
    }

    logMessage(3, "[init] startup done in %lld ms", static_cast<long long>(nowMs() - startMs));
    // The banner is all the console showed so far: say where the pages are.
    const std::string address = browserAddress(ServerConfig::SERV_IP, ServerConfig::SERV_PORT);
    std::printf("brisvanesrv is listening: open %s in a browser (Ctrl+C stops it)\n", address.c_str());
    std::fflush(stdout);
    startupComplete.store(true);
    logMessage(3, "[main] running... (Ctrl+C to stop)");
    serverThreadIdle.store(true);

    for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(1000));
}
