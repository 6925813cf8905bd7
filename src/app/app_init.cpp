#include "app/app_init.h"

#include "app/app_init_exception.h"
#include "app/logger.h"
#include "app/server_config.h"
#include "app/startup_state.h"
#include "app/text_util.h"
#include "net/http_serv.h"

std::unique_ptr<TcpServer> gTcpServer;

TcpServerOptions& tcpServerOptions() {
    static TcpServerOptions options;
    return options;
}

void initApp() {
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
}

bool shutdownApp() {
    // Connections end first: no connection thread may outlive the objects it
    // uses.
    const bool finished = !gTcpServer || gTcpServer->stop();
    if (!finished) return false;
    gTcpServer.reset();
    return true;
}
