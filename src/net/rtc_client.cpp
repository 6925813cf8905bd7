#include "net/rtc_client.h"

#include "app/logger.h"
#include "app/runtime_properties.h"
#include "app/server_config.h"

std::atomic<int> relayStatus{kGatewayUnregistered};
std::atomic<bool> relayClientRunning{false};

// The relay transport is not part of this build yet: the client reports the
// service as down instead of connecting.
void startRtcClient() {
    if (runtimeprops::rtsHost.empty()) {
        logMessage(2, "[RTC] startRtcClient: rts_host 가 비어 있어 기동 불가");
        relayStatus.store(kGatewayUnregistered);
        return;
    }
    const std::string& mode = ServerConfig::RTC_LOCAL_MODE.empty() ? std::string("memory") : ServerConfig::RTC_LOCAL_MODE;
    logMessage(4, "[RTC] 로컬 어플리케이션 연결 방식: %s", mode.c_str());
    logMessage(2, "[RTC] relay client is not available in this build: %s:%d", runtimeprops::rtsHost.c_str(),
               kRelayPort);
    relayStatus.store(kGatewayDown);
}

void stopRtcClient(bool) {
    relayClientRunning.store(false);
    relayStatus.store(runtimeprops::brisvaneIdRelay.empty() ? kGatewayUnregistered : kGatewayDown);
}
