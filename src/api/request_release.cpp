#include "api/request_release.h"

#include <exception>
#include <string>

#include "base/logger.h"
#include "config/event_manager.h"
#include "engine/mivrel_events.h"

void releaseAfterRequest(MivrelClaim& claim) noexcept {
    if (!claim) return;
    try {
        Mivrel& mivrel = *claim;
        const std::string& family = mivrel.config.familyType;
        const bool mediaFamily = family == "IMAGE" || family == "VIDEO" || family == "AUDIO";
        if (!mediaFamily && mivrel.hasEngine() && mivrel.releasePolicy().kind == "after_generate") {
            const std::string id = mivrel.config.id;
            claim.releaseWithUnload(true);
            logMessage(4, "[Mivrel] %s release_policy=after_generate → 요청 종료 후 모델 해제", id.c_str());
            reportMivrelEvent("info", "mivrel", id, "Mivrel unloaded", "release_policy=after_generate");
            return;
        }
        claim.release();
    } catch (const std::exception& e) {
        logMessage(1, "[Mivrel] 요청 종료 후 해제 실패: %s", e.what());
    } catch (...) {
        logMessage(1, "[Mivrel] 요청 종료 후 해제 실패 (알 수 없는 예외)");
    }
    // Whatever failed above, the instance must not stay claimed for good.
    claim.release();
}

void RequestRelease::arm(MivrelClaim claim) {
    run();
    claim_ = std::move(claim);
}

void RequestRelease::run() noexcept { releaseAfterRequest(claim_); }

void RequestRelease::refuse() noexcept { claim_.releaseWithoutActivity(); }
