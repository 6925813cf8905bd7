#include "app/app_init.h"

#include <cstdlib>
#include <filesystem>

#include "app/release_watcher.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "config/app_init_exception.h"
#include "config/data_folders.h"
#include "config/event_manager.h"
#include "config/runtime_properties.h"
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

namespace {

// How long process end waits for the relay client's threads.
constexpr int kRelayShutdownWaitMs = 8000;

NetOptions& mutableNetOptions() {
    static NetOptions options;
    return options;
}

// The configuration's values that the front end reads; the export flag stays
// with the runtime properties, which change it while the server runs.
void fillNetOptions(NetOptions& options) {
    options.servPort = ServerConfig::SERV_PORT;
    options.localV1Access = ServerConfig::LOCAL_V1_ACCESS;
    options.webappFilePath = ServerConfig::WEBAPP_FILE_PATH;
    options.webappPublicPath = ServerConfig::WEBAPP_PUBLIC_PATH;
    options.inferenceExported = &runtimeprops::brisvaneExport;
}

// Joined on the normal exit path, before the manager it reads goes away.
ReleaseWatcher& releaseWatcher() {
    static ReleaseWatcher watcher(appServices());
    return watcher;
}

void startTcpServer(ServiceContext& services) {
    const char* ip = ServerConfig::SERV_IP.c_str();
    const int port = ServerConfig::SERV_PORT;
    logMessage(6, "[initApp] 추론 서버 생성 %s:%d", ip, port);
    try {
        services.tcpServer = TcpServer::create(ServerConfig::SERV_IP, static_cast<uint16_t>(port), tcpServerOptions());
    } catch (const std::exception& e) {
        throw AppInitException(1302, std::string("TcpServer::create failed: ") + e.what());
    }
    const RouteHandlers& routes = appRoutes();
    const NetOptions& options = appNetOptions();
    services.tcpServer->setSessionFactory(
        [&routes, &options](Peer* peer) { return makeHttpSession(routes, options, peer, ConnOrigin::Socket); });
    try {
        services.tcpServer->start();
    } catch (const std::exception& e) {
        throw AppInitException(1302, std::string("TcpServer::start failed: ") + e.what());
    }
    startupComplete.store(true);
    serverStartTime.store(nowMs() / 1000);
    logMessage(6, "[initApp] HTTP 서버 시작 완료 %s:%d", ip, port);
    services.addEvent("info", "system", "server", "Server started",
                      "bind=" + ServerConfig::SERV_IP + ":" + std::to_string(port));
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

ServiceContext& appServices() {
    static ServiceContext services;
    return services;
}

RouteHandlers& appRoutes() {
    static RouteHandlers routes;
    return routes;
}

const NetOptions& appNetOptions() { return mutableNetOptions(); }

TcpServerOptions& tcpServerOptions() {
    static TcpServerOptions options;
    return options;
}

void initApp() {
    registerMediaEngines();
    registerSpeechEngine(speechBackendAtStart());
    setCudaDeviceOrder();
    ServiceContext& services = appServices();
    services.folders = configuredDataFolders();
    ensureDataDirectories(services.folders);
    loadModelRegistry(services.folders.models);
    recoverInterruptedDownloads(services.folders.models, *services.downloads);

    const std::string eventsPath = (std::filesystem::path(services.folders.logs) / "events.jsonl").string();
    services.events = std::make_unique<EventManager>(eventsPath, kEventLogCapacity);
    logMessage(9, "[initApp] EventManager 초기화: %s", eventsPath.c_str());
    setMivrelEventSink([&services](const std::string& level, const std::string& category, const std::string& actor,
                                   const std::string& text, const std::string& detail) {
        services.addEvent(level, category, actor, text, detail);
    });

    logMessage(9, "[initApp] MivrelManager 초기화...");
    services.mivrels = std::make_unique<MivrelManager>();
    services.mivrels->setDir(services.folders.mivrel);
    registerListedMivrels(services.folders, *services.mivrels);

    const int emptied = services.mivrels->truncateStorageOnUnload();
    if (emptied > 0) logMessage(4, "[initApp] 저장소 비우기 (truncate_storage_on_unload): %d개 Mivrel", emptied);

    fillNetOptions(mutableNetOptions());
    const RouteHandlers& routes = appRoutes();
    const NetOptions& options = appNetOptions();
    services.relayLocal.port = ServerConfig::SERV_PORT;
    services.relayLocal.mode = ServerConfig::RTC_LOCAL_MODE;
    services.relayLocal.serveMemoryConnection = [&routes, &options](Peer* peer) {
        HttpServ(routes, options, peer, ConnOrigin::Memory);
    };
    startTcpServer(services);
    loadMediaEngineAtStart();
    releaseWatcher().start();
}

void loadMediaEngineAtStart() {
    const ServiceContext& services = appServices();
    const SdLibrary& library = SdLibrary::instance();
    if (library.loaded) {
        logMessage(3, "[initApp] media engine (sd.cpp) loaded: %s", library.path.c_str());
        services.addEvent("info", "system", "server", "Media engine loaded", library.path);
    } else {
        logMessage(1, "[initApp] media engine (sd.cpp) NOT loaded — image generation is unavailable: %s",
                   library.error.c_str());
        services.addEvent("error", "system", "server", "Media engine not loaded", library.error);
    }
}

void truncateStorageAtShutdown() {
    const ServiceContext& services = appServices();
    if (!services.mivrels) return;
    const int emptied = services.mivrels->truncateStorageOnUnload();
    if (emptied > 0) logMessage(4, "[shutdown] 저장소 비우기 (truncate_storage_on_unload): %d개 Mivrel", emptied);
}

bool shutdownApp() {
    // Connections end first: no connection thread may outlive the objects it
    // uses.
    // The relay first: its data channels feed requests into the server.
    if (!shutdownRtcClient(kRelayShutdownWaitMs)) return false;
    ServiceContext& services = appServices();
    const bool finished = !services.tcpServer || services.tcpServer->stop();
    if (!finished) return false;
    releaseWatcher().stop();
    truncateStorageAtShutdown();
    services.events.reset();
    services.mivrels.reset();
    services.tcpServer.reset();
    return true;
}
