#include "mgmt/service_switch.h"

#include <chrono>
#include <thread>

#include "base/logger.h"
#include "config/runtime_properties.h"
#include "engine/mivrel_manager.h"
#include "mgmt/mivrel_lifecycle.h"
#include "platform/termination_signals.h"
#include "relay/relay_lifecycle.h"

namespace {

constexpr int kShutdownReplyDelayMs = 300;

}  // namespace

bool deactivateBrisvane(const MivrelManager* mivrels) {
    if (mivrels) {
        for (const std::shared_ptr<Mivrel>& mivrel : mivrels->snapshotMivrels()) {
            if (!mivrel->hasEngine()) continue;
            const std::string& id = mivrel->config.id;
            if (mivrel->isInferring()) {
                logMessage(4, "[mgmt] deactivateBrisvane: Mivrel[%s] 추론 중단 (종료 대기)", id.c_str());
            }
            // The wait is bounded whatever the request does, so a client that
            // stopped reading cannot hold the switch-off.
            const UnloadOutcome outcome = unloadWaiting(mivrel, false, kGenerationStopWaitMs);
            if (outcome == UnloadOutcome::kTimedOut) {
                logMessage(1, "[mgmt] deactivateBrisvane: Mivrel[%s] 추론 종료 대기 시간 초과 — 언로드 생략", id.c_str());
            } else if (outcome == UnloadOutcome::kUnloaded) {
                logMessage(4, "[mgmt] deactivateBrisvane: Mivrel[%s] 언로드", id.c_str());
            }
        }
    }
    stopRtcClient(true);
    return setExportFlag(false);
}

std::string gatewayStatusName(int status) {
    switch (status) {
        case kGatewayDown: return "down";
        case kGatewayConnecting: return "connecting";
        case kGatewayConnected: return "connected";
        case kGatewayDisconnected: return "disconnected";
        default: return "unregistered";
    }
}

void shutdownProcessDelayed() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kShutdownReplyDelayMs));
        logMessage(3, "[mgmt] cli/shutdown: 프로세스 종료");
        requestProcessTermination();
    }).detach();
}
