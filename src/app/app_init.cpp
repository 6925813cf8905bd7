#include "app/app_init.h"

#include <cstdlib>
#include <filesystem>

#include "app/release_watcher.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "config/app_init_exception.h"
#include "config/event_manager.h"
#include "config/server_config.h"
#include "config/startup_state.h"
#include "engine/gpu_devices.h"
#include "engine/mivrel_events.h"
#include "engine/mivrel_manager.h"
#include "media/media_registration.h"
#include "media/sd_library.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/startup_registries.h"
#include "net/http_serv.h"
#include "relay/relay_lifecycle.h"
#include "speech/speech_engine_maker.h"

std::unique_ptr<TcpServer> gTcpServer;

namespace {

// How long process end waits for the relay client's threads.
constexpr int kRelayShutdownWaitMs = 8000;

// Joined on the normal exit path, before the manager it reads goes away.
ReleaseWatcher& releaseWatcher() {
    static ReleaseWatcher watcher;
    return watcher;
}

void startTcpServer() {
    const char* ip = ServerConfig::SERV_IP.c_str();
    const int port = ServerConfig::SERV_PORT;
    logMessage(6, "[initApp] 추론 서버 생성 %s:%d", ip, port);
    try {
        gTcpServer = TcpServer::create(ServerConfig::SERV_IP, static_cast<uint16_t>(port), tcpServerOptions());
    } catch (const std::exception& e) {
        throw AppInitException(1302, std::string("TcpServer::create failed: ") + e.what());
    }
    gTcpServer->setPeerHandler([](Peer* peer) { HttpServ(peer, ConnOrigin::Socket); });
    try {
        gTcpServer->start();
    } catch (const std::exception& e) {
        throw AppInitException(1302, std::string("TcpServer::start failed: ") + e.what());
    }
    startupComplete.store(true);
    serverStartTime.store(nowMs() / 1000);
    logMessage(6, "[initApp] HTTP 서버 시작 완료 %s:%d", ip, port);
    if (gEventManager) {
        gEventManager->add("info", "system", "server", "Server started",
                           "bind=" + ServerConfig::SERV_IP + ":" + std::to_string(port));
    }
}

// The speech weights cannot exist on this platform: with
// BRISVANE_SPEECH_STANDIN set (non-empty) every "AUDIO" instance runs on the
// scripted stand-in backend, which reads a JSON script from the instance's
// weights file. Tests of the running server use it; without it the release's
// multimodal library loads the weights.
SpeechBackend speechBackendAtStart() {
    const char* standIn = std::getenv("BRISVANE_SPEECH_STANDIN");
    if (!standIn || !*standIn) return SpeechBackend::Release;
    logMessage(2, "[initApp] speech engine on the scripted stand-in backend (BRISVANE_SPEECH_STANDIN)");
    return SpeechBackend::StandIn;
}

}  // namespace

TcpServerOptions& tcpServerOptions() {
    static TcpServerOptions options;
    return options;
}

void initApp() {
    registerMediaEngines();
    registerSpeechEngine(speechBackendAtStart());
    setCudaDeviceOrder();
    ensureDataDirectories();
    loadModelRegistry();
    recoverInterruptedDownloads();

    const std::string eventsPath = (std::filesystem::path(ServerConfig::DIR_LOGS) / "events.jsonl").string();
    gEventManager = std::make_unique<EventManager>(eventsPath, kEventLogCapacity);
    logMessage(9, "[initApp] EventManager 초기화: %s", eventsPath.c_str());
    setMivrelEventSink([](const std::string& level, const std::string& category, const std::string& actor,
                          const std::string& text, const std::string& detail) {
        if (gEventManager) gEventManager->add(level, category, actor, text, detail);
    });

    logMessage(9, "[initApp] MivrelManager 초기화...");
    gMivrelManager = std::make_unique<MivrelManager>();
    gMivrelManager->setDir(ServerConfig::DIR_MIVREL);
    registerListedMivrels(*gMivrelManager);

    const int emptied = gMivrelManager->truncateStorageOnUnload();
    if (emptied > 0) logMessage(4, "[initApp] 저장소 비우기 (truncate_storage_on_unload): %d개 Mivrel", emptied);

    startTcpServer();
    loadMediaEngineAtStart();
    releaseWatcher().start();
}

void loadMediaEngineAtStart() {
    const SdLibrary& library = SdLibrary::instance();
    if (library.loaded) {
        logMessage(3, "[initApp] media engine (sd.cpp) loaded: %s", library.path.c_str());
        if (gEventManager) gEventManager->add("info", "system", "server", "Media engine loaded", library.path);
    } else {
        logMessage(1, "[initApp] media engine (sd.cpp) NOT loaded — image generation is unavailable: %s",
                   library.error.c_str());
        if (gEventManager) gEventManager->add("error", "system", "server", "Media engine not loaded", library.error);
    }
}

void truncateStorageAtShutdown() {
    if (!gMivrelManager) return;
    const int emptied = gMivrelManager->truncateStorageOnUnload();
    if (emptied > 0) logMessage(4, "[shutdown] 저장소 비우기 (truncate_storage_on_unload): %d개 Mivrel", emptied);
}

bool shutdownApp() {
    // Connections end first: no connection thread may outlive the objects it
    // uses.
    // The relay first: its data channels feed requests into the server.
    if (!shutdownRtcClient(kRelayShutdownWaitMs)) return false;
    const bool finished = !gTcpServer || gTcpServer->stop();
    if (!finished) return false;
    releaseWatcher().stop();
    truncateStorageAtShutdown();
    gEventManager.reset();
    gMivrelManager.reset();
    gTcpServer.reset();
    return true;
}
