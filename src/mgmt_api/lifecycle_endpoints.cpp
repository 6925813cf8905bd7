#include "mgmt_api/lifecycle_endpoints.h"

#include "base/logger.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "mgmt/mivrel_lifecycle.h"
#include "mgmt/service_context.h"
#include "mgmt/mivrel_reload.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

nlohmann::json actionReply(const std::string& id, const char* status) {
    nlohmann::json reply = nlohmann::json::object();
    reply["mivrelId"] = id;
    reply["status"] = status;
    return reply;
}

nlohmann::json actionReply(const std::string& id, const char* status, bool actionTaken) {
    nlohmann::json reply = actionReply(id, status);
    reply["actionTaken"] = actionTaken;
    return reply;
}

// The registered instance, or null after answering 500 (no manager) or 404.
std::shared_ptr<Mivrel> findOrReply(const ServiceContext& services, HttpRequestHandler& handler, Response& response,
                                    const std::string& id) {
    if (!services.mivrels) {
        sendError(handler, response, 500, "internal_error", "MivrelManager not available");
        return nullptr;
    }
    std::shared_ptr<Mivrel> mivrel = services.mivrels->find(id);
    if (!mivrel) sendUnknownMivrel(handler, response, id);
    return mivrel;
}

}  // namespace

void handleMivrelStart(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                       const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim;
    {
        std::lock_guard<std::mutex> lock(mivrel->mutex);
        if (mivrel->hasEngine()) {
            logMessage(4, "[mgmt] Mivrel 이미 시작되어 있음: %s", id.c_str());
            return sendJson(handler, response, actionReply(id, "already_running", false));
        }
        claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
    }
    if (!claim) {
        if (result == ClaimResult::kRemoved) return sendUnknownMivrel(handler, response, id);
        // Another start, or a request that loads the model for itself.
        logMessage(4, "[mgmt] Mivrel 이미 로딩 중: %s", id.c_str());
        const bool loaded = mivrel->hasEngine();
        return sendJson(handler, response, actionReply(id, loaded ? "already_running" : "already_loading", false));
    }
    try {
        claim.ensureEngine();
    } catch (const std::exception& e) {
        claim.release();
        logMessage(1, "[mgmt] Mivrel 시작 실패: %s — %s", id.c_str(), e.what());
        addMgmtEvent(services, "error", "mivrel", id, "Mivrel start failed", e.what());
        return sendError(handler, response, 500, "start_failed", e.what());
    }
    const std::string modelPath = mivrel->config.modelPath;
    claim.release();
    logMessage(4, "[mgmt] Mivrel 시작: %s", id.c_str());
    addMgmtEvent(services, "info", "mivrel", id, "Mivrel started", "model=" + modelPath);
    sendJson(handler, response, actionReply(id, "started", true));
}

void handleMivrelStop(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                      const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    // Only a running instance moves to stopping: an exchange could leave an
    // instance whose request just ended stuck in the stopping state.
    int expected = kMivrelRunning;
    if (mivrel->hasEngine() && mivrel->state.compare_exchange_strong(expected, kMivrelStopping)) {
        mivrel->abortRequested.store(true);
        {
            // The lock keeps the engine from being destroyed under the call.
            std::lock_guard<std::mutex> lock(mivrel->engineMutex);
            if (mivrel->engine) mivrel->engine->abortGeneration();
        }
        logMessage(4, "[mgmt] Mivrel 추론 중단 시그널: %s", id.c_str());
        return sendJson(handler, response, actionReply(id, "stopping"));
    }
    sendError(handler, response, 409, "mivrel_not_running", "not generating: " + id);
}

void handleMivrelUnload(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                        const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (mivrel->hasEngine() && mivrel->isInferring()) {
        logMessage(4, "[mgmt] Mivrel 추론 중단 후 언로드 (종료 대기): %s", id.c_str());
    }
    switch (unloadWaiting(mivrel, false, kGenerationStopWaitMs)) {
        case UnloadOutcome::kUnloaded:
            logMessage(4, "[mgmt] Mivrel 언로드 완료: %s", id.c_str());
            addMgmtEvent(services, "info", "mivrel", id, "Mivrel unloaded", "");
            return sendJson(handler, response, actionReply(id, "unloaded", true));
        case UnloadOutcome::kNotLoaded: return sendJson(handler, response, actionReply(id, "unloaded", false));
        case UnloadOutcome::kRemoved: return sendUnknownMivrel(handler, response, id);
        case UnloadOutcome::kTimedOut: break;
    }
    logMessage(1, "[mgmt] Mivrel 추론 종료 대기 시간 초과 — 언로드 취소: %s", id.c_str());
    sendError(handler, response, 409, "mivrel_inferring", "Inference did not stop in time; unload aborted");
}

void handleMivrelStorageReset(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                              Response& response, const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = services.findMivrel(id);
    if (!mivrel) return sendUnknownMivrel(handler, response, id);
    // The claim keeps every request off the store while it is emptied.
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
    if (!claim) {
        if (result == ClaimResult::kRemoved) return sendUnknownMivrel(handler, response, id);
        return sendError(handler, response, 409, "mivrel_inferring", "Generation in progress; try again after it finishes.");
    }
    mivrel->fileStore.truncate();
    claim.release();
    logMessage(4, "[mgmt] Mivrel 저장소 비우기: %s", id.c_str());
    addMgmtEvent(services, "info", "mivrel", id, "Mivrel storage reset", "");
    sendJson(handler, response, actionReply(id, "ok"));
}

void handleMivrelReset(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                       const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (!mivrel->hasEngine()) return sendError(handler, response, 409, "mivrel_not_running", "no running session: " + id);
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun, &result);
    if (!claim) {
        if (result == ClaimResult::kRemoved) return sendUnknownMivrel(handler, response, id);
        return sendError(handler, response, 409, "mivrel_occupied", "Mivrel is currently in use and cannot be reset.");
    }
    if (!mivrel->hasEngine()) {  // unloaded between the test and the claim
        claim.release();
        return sendError(handler, response, 409, "mivrel_not_running", "no running session: " + id);
    }
    // An engine kind without a context reset throws; the claim ends on the
    // way out and the front end answers 500 with the engine's text.
    mivrel->engine->resetContext(mivrel->config.contextSettings);
    mivrel->generationIndex = 0;
    mivrel->setConversation("");
    mivrel->openResponseId.clear();
    mivrel->openPhase.clear();
    claim.release();
    logMessage(4, "[mgmt] Mivrel context 초기화: %s", id.c_str());
    sendJson(handler, response, actionReply(id, "reset"));
}

void handleMivrelReload(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                        const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findOrReply(services, handler, response, id);
    if (!mivrel) return;
    auto occupied = [&] {
        sendError(handler, response, 409, "mivrel_occupied", "Mivrel is currently in use.");
    };
    if (mivrel->isInferring()) return occupied();

    // Read the files before claiming, so the instance is held only briefly.
    // The rebuild starts from what the instance has now: a model that cannot
    // be found or read keeps the one it had.
    bool rebuilt = false;
    MivrelConfig config;
    try {
        config = reloadedMivrelConfig(services.folders, mivrel->config);
        rebuilt = true;
    } catch (const std::exception& e) {
        logMessage(2, "[mgmt] Mivrel reload: properties 읽기 실패 (%s)", e.what());
    }

    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim;
    {
        std::lock_guard<std::mutex> lock(mivrel->mutex);
        claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
    }
    if (!claim) {
        if (result == ClaimResult::kRemoved) return sendUnknownMivrel(handler, response, id);
        return occupied();
    }
    // The new record starts unloaded; the old one is retired with its engine.
    if (!rebuilt || !services.mivrels->replaceMivrel(claim, std::move(config))) claim.releaseWithUnload(true);
    logMessage(4, "[mgmt] Mivrel 재로드 완료: %s", id.c_str());
    sendJson(handler, response, actionReply(id, "reloaded"));
}

void handleMivrelDelete(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                        const std::string& id) {
    if (!isUsableMivrelId(services.mivrels.get(), id)) return sendUnknownMivrel(handler, response, id);
    std::string error;
    switch (deleteMivrel(services.folders, services.mivrels.get(), id, error)) {
        case DeleteOutcome::kOccupied:
            return sendError(handler, response, 409, "mivrel_occupied", "Mivrel is currently in use and cannot be deleted.");
        case DeleteOutcome::kFailed: return sendError(handler, response, 500, "internal_error", error);
        case DeleteOutcome::kDeleted: break;
    }
    logMessage(4, "[mgmt] Mivrel 삭제 완료: %s", id.c_str());
    sendJson(handler, response, actionReply(id, "deleted"));
}
