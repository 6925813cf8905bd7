#include "api/instance_control.h"

#include <chrono>
#include <thread>

#include "api/family_gate.h"
#include "api/init_events.h"
#include "api/instance_reply.h"
#include "base/field_limits.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "engine/format_string.h"
#include "engine/mivrel_claim.h"
#include "engine/mivrel_manager.h"
#include "engine/mivrel_exception.h"
#include "mgmt/service_context.h"

namespace {

constexpr int kUnloadWaitMs = 5000;

nlohmann::json okReply(const std::string& message, const std::string& id) {
    nlohmann::json reply = nlohmann::json::object();
    reply["message"] = message;
    reply["mivrelId"] = id;
    reply["ok"] = true;
    return reply;
}

void sendNotLoaded(HttpRequestHandler& handler, Response& response, const std::string& id, const char* hint = "") {
    sendJsonError(handler, response, 409, "mivrel_not_running", "Mivrel is not loaded: " + id + hint);
}

void sendInferring(HttpRequestHandler& handler, Response& response) {
    sendJsonError(handler, response, 409, "mivrel_inferring", "Inference in progress");
}

// Parses a body with comments allowed; answers 400 "Invalid JSON" (false)
// when it is not JSON.
bool parseBodyOrReply(HttpRequestHandler& handler, const Request& request, Response& response,
                      nlohmann::json& body) {
    try {
        body = parseBodyAllowingComments(request);
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
        return false;
    }
}

// Claims `mivrel` for a short use of its engine, which is no generation: its
// end leaves the last-active time alone. An empty claim means the
// refusal was answered: 409 while another request holds it (or it is being
// loaded or unloaded), 404 once it was removed.
MivrelClaim claimOrReply(HttpRequestHandler& handler, Response& response, const std::shared_ptr<Mivrel>& mivrel,
                         const std::string& id) {
    ClaimResult result = ClaimResult::kOk;
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kBrief, &result);
    if (!claim) {
        if (result == ClaimResult::kRemoved) {
            sendMivrelNotFound(handler, response, id);
        } else {
            sendInferring(handler, response);
        }
    }
    return claim;
}

}  // namespace

void handleReset(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                 const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM"}, "reset")) return;
    if (!mivrel->hasEngine()) return sendNotLoaded(handler, response, id);
    MivrelClaim claim = claimOrReply(handler, response, mivrel, id);
    if (!claim) return;
    if (!mivrel->hasEngine()) {  // unloaded between the test and the claim
        claim.release();
        return sendNotLoaded(handler, response, id);
    }
    mivrel->engine->resetContext(mivrel->config.contextSettings);
    mivrel->generationIndex = 0;
    mivrel->sessionOutputTokens.exchange(0);
    mivrel->openResponseId.clear();
    mivrel->openPhase.clear();
    claim.release();
    logMessage(4, "[POST /v1/%s/reset] Context 초기화 완료", id.c_str());
    sendJsonDocument(handler, response, 200, okReply("context reset", id));
}

void handleStop(const ServiceContext& services, HttpRequestHandler& handler, const Request& request, Response& response,
                const std::string& id) {
    nlohmann::json body;
    if (!parseBodyOrReply(handler, request, response, body)) return;
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
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
        logMessage(4, "[POST /v1/%s/stop] 미브렐 중지", id.c_str());
        sendJsonDocument(handler, response, 200, okReply("inference stopped", id));
        return;
    }
    logMessage(4, "[POST /v1/%s/stop] 추론 중 아님 → already stopped", id.c_str());
    sendJsonDocument(handler, response, 200, okReply("already stopped", id));
}

void handleUnload(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                  const std::string& id) {
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    const int64_t deadline = steadyNowMs() + kUnloadWaitMs;
    bool announced = false;
    for (;;) {
        ClaimResult result = ClaimResult::kOk;
        bool unloaded = false;
        {
            std::unique_lock<std::mutex> lock(mivrel->mutex);
            MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kLoad, &result);
            if (claim) {
                unloaded = mivrel->hasEngine();
                if (unloaded) {
                    claim.releaseWithUnload(false);
                } else {
                    mivrel->truncateStorageIfEnabled();
                    claim.release();
                }
            }
        }
        if (result == ClaimResult::kOk) {
            if (unloaded) logMessage(4, "[POST /v1/%s/unload] 언로드 완료", id.c_str());
            sendJsonDocument(handler, response, 200, okReply(unloaded ? "unloaded" : "already unloaded", id));
            return;
        }
        if (result == ClaimResult::kRemoved) return sendMivrelNotFound(handler, response, id);

        const int64_t left = deadline - steadyNowMs();
        bool free = false;
        if (result == ClaimResult::kBusy && left > 0) {
            if (!announced) {
                logMessage(4, "[POST /v1/%s/unload] 추론 중단 후 언로드 (종료 대기)", id.c_str());
                announced = true;
            }
            free = mivrel->stopGenerationAndWait(static_cast<int>(left));
        } else if (left > 0) {
            // Being loaded or unloaded by someone else: try again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            free = true;
        }
        if (!free) {
            logMessage(1, "[POST /v1/%s/unload] 추론 종료 대기 시간 초과 — 언로드 취소", id.c_str());
            sendJsonError(handler, response, 409, "mivrel_inferring", "Inference did not stop in time; unload aborted");
            return;
        }
    }
}

void handleSwitchConversation(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response, const std::string& id) {
    nlohmann::json body;
    if (!parseBodyOrReply(handler, request, response, body)) return;
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM"}, "switch-conversation")) return;
    if (!body.is_object()) {
        return sendJsonError(handler, response, 400, "bad_request", "request body must be a JSON object");
    }
    const auto field = body.find("conversationId");
    if (field != body.end() && !field->is_string()) {
        return sendJsonError(handler, response, 400, "bad_request", "\"conversationId\" must be a string");
    }
    const std::string conversationId = field != body.end() ? field->get<std::string>() : std::string();
    if (conversationId.size() > kMaxConversationIdLength) {
        return sendJsonError(handler, response, 400, "bad_request",
                             fieldTooLongMessage("conversationId", kMaxConversationIdLength));
    }

    MivrelClaim claim = claimOrReply(handler, response, mivrel, id);
    if (!claim) return;
    mivrel->setConversation(conversationId);
    const bool loaded = mivrel->hasEngine();
    if (loaded) mivrel->engine->resetSampler();
    mivrel->lastResponseId.clear();
    mivrel->openResponseId.clear();
    mivrel->openPhase.clear();
    claim.release();
    logMessage(4, "[POST /v1/%s/switch-conversation] conversationId=%s (loaded=%s)", id.c_str(),
               conversationId.c_str(), loaded ? "yes" : "no");
    nlohmann::json reply = nlohmann::json::object();
    reply["message"] = "conversationId changed to " + conversationId;
    reply["ok"] = true;
    sendJsonDocument(handler, response, 200, reply);
}

void handleTokenize(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id) {
    nlohmann::json body;
    if (!parseBodyOrReply(handler, request, response, body)) return;
    const auto text = body.is_object() ? body.find("text") : body.end();
    if (text == body.end() || !text->is_string()) {
        return sendJsonError(handler, response, 400, "bad_request", "Missing required field: text");
    }
    bool autoLoad = false;
    const auto options = body.find("options");
    if (options != body.end() && options->is_object()) {
        const auto flag = options->find("autoLoad");
        if (flag != options->end()) {
            if (!flag->is_boolean()) {
                return sendJsonError(handler, response, 400, "bad_request", "\"options.autoLoad\" must be a boolean");
            }
            autoLoad = flag->get<bool>();
        }
    }
    const std::shared_ptr<Mivrel> mivrel = findMivrelOrReply(services, handler, response, id);
    if (!mivrel) return;
    if (checkFamilyType(handler, response, mivrel.get(), {"LLM", "DECISION", "AUDIO"}, "tokenize")) return;
    const char* hint = " (pass options.autoLoad=true to load automatically)";
    if (!mivrel->hasEngine() && !autoLoad) return sendNotLoaded(handler, response, id, hint);

    MivrelClaim claim = claimOrReply(handler, response, mivrel, id);
    if (!claim) return;
    if (!mivrel->hasEngine()) {
        if (!autoLoad) {
            claim.release();
            return sendNotLoaded(handler, response, id, hint);
        }
        InitLoadStep silent;
        silent.mivrelId = id;
        const InitLoadResult load = loadWithInitEvents(claim, silent);
        if (load.failed) {
            claim.release();
            return sendJsonError(handler, response, 500, "internal_error", load.error);
        }
        if (load.loadedNow) logMessage(4, "[POST /v1/%s/tokenize] autoLoad로 모델 로드 완료", id.c_str());
    }
    const std::string tooLong = inputBeyondContext(*mivrel->engine, "text", text->get_ref<const std::string&>().size());
    if (!tooLong.empty()) {
        claim.release();
        return sendJsonError(handler, response, 400, "bad_request", tooLong);
    }
    std::vector<int32_t> tokens;
    try {
        tokens = mivrel->engine->tokenizePrompt(text->get_ref<const std::string&>());
    } catch (const MivrelException& e) {
        if (!stoppedByRequest(*mivrel, e)) throw;
        claim.release();
        logMessage(4, "[POST /v1/%s/tokenize] 토크나이즈 중 중지됨", id.c_str());
        return sendStoppedByRequest(handler, response);
    }
    claim.release();
    nlohmann::json reply = nlohmann::json::object();
    reply["count"] = tokens.size();
    reply["mivrelId"] = id;
    reply["tokens"] = tokens;
    sendJsonDocument(handler, response, 200, reply);
}
