#include "api/chat_messages.h"

#include <exception>

#include "api/chat_generation.h"
#include "api/chat_request.h"
#include "api/chat_turn.h"
#include "api/event_stream.h"
#include "api/family_gate.h"
#include "api/file_references.h"
#include "api/inference_text.h"
#include "api/init_events.h"
#include "api/message_content.h"
#include "api/request_release.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "config/event_manager.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_manager.h"
#include "net/router.h"

namespace {

const char* yesNo(bool value) { return value ? "true" : "false"; }

std::string dumpReply(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Stage checks that need the claim: ownership of a loaded instance and the
// resume preconditions. Returns false after answering; a refused request
// ends its claim without the after-request release (release.refuse()), so it
// never unloads or refreshes an instance it was not allowed to use.
bool admit(HttpRequestHandler& handler, Response& response, Mivrel& mivrel, const MessagesRequest& req,
           const std::string& id, RequestRelease& release) {
    const char* cid = id.c_str();
    if (mivrel.hasEngine()) {
        const bool mine = req.conversationId == mivrel.conversationId || mivrel.conversationId.empty() ||
                          req.mivrelReset;
        if (!mine) {
            const std::string holder = mivrel.conversationId;
            logMessage(9, "[POST /v1/%s/messages] Mivrel is currently in use by conversation: %s", cid,
                       holder.c_str());
            release.refuse();
            sendJsonError(handler, response, 409, "mivrel_occupied",
                          "Mivrel is currently in use by conversation: " + holder);
            return false;
        }
    }
    if (req.action.empty()) return true;

    std::string refusal;
    if (!mivrel.hasEngine()) {
        refusal = "there is no response to resume (Mivrel is not loaded)";
    } else if (mivrel.conversationId != req.conversationId) {
        refusal = "there is no response to resume in this conversation";
    } else if (mivrel.openResponseId.empty() || !mivrel.engine->isTurnOpen()) {
        refusal = "the last response is not resumable";
    } else if (!req.controlMessageId.empty() && req.controlMessageId != mivrel.openResponseId) {
        refusal = "message_id does not match the last resumable response (" + mivrel.openResponseId + ")";
    }
    if (!refusal.empty()) {
        logMessage(4, "[POST /v1/%s/messages] conversation_control %s 거절: %s", cid, req.action.c_str(),
                   refusal.c_str());
        release.refuse();
        sendJsonError(handler, response, 400, "bad_request", refusal);
        return false;
    }
    if (req.action == "close_thinking") {
        std::string open, close, closeThenAnswer;
        const bool hasThink =
            createChatPromptRenderer(mivrel.config.loadSettings.assembler)->thinkingMarkers(open, close, closeThenAnswer);
        std::string message;
        if (!hasThink) {
            message = "close_thinking is not supported for this model";
        } else if (mivrel.openPhase != "thinking") {
            message = "the last response is not in thinking phase";
        }
        if (!message.empty()) {
            release.refuse();
            sendJsonError(handler, response, 400, "unsupported_mivrel_type", message);
            return false;
        }
    }
    logMessage(4, "[POST /v1/%s/messages] conversation_control: action=%s target=%s phase=%s messages=%s", cid,
               req.action.c_str(), mivrel.openResponseId.c_str(), mivrel.openPhase.c_str(),
               req.hasMessages ? "yes" : "no");
    return true;
}

}  // namespace

void handleMessages(HttpRequestHandler& handler, const Request& request, Response& response, const std::string& id) {
    const char* cid = id.c_str();
    logMessage(9, "[POST /v1/%s/messages] 웹 요청 body:", cid);
    const std::string rawBody(request.body.begin(), request.body.end());
    logMessage(7, "%s", rawBody.c_str());

    MessagesRequest req;
    MessagesRequestError invalid;
    if (!parseMessagesRequest(rawBody, req, invalid)) {
        sendJsonError(handler, response, 400, "bad_request", invalid.message);
        return;
    }
    logMessage(4, "[POST /v1/%s/messages] conversationId=%s mivrel_reset=%s stream=%s", cid,
               req.conversationId.c_str(), yesNo(req.mivrelReset), yesNo(req.stream));

    std::shared_ptr<Mivrel> found = gMivrelManager ? gMivrelManager->find(id) : nullptr;
    if (!found) {
        logMessage(9, "[POST /v1/%s/messages] Mivrel Not found :%s", cid, cid);
        sendJsonError(handler, response, 404, "mivrel_not_found", "Mivrel not found: " + id);
        return;
    }
    if (checkFamilyType(handler, response, found.get(), {"LLM"}, "messages")) return;

    ChatTurnRequest turnRequest;
    turnRequest.messages = std::move(req.messages);
    try {
        convertMessageContent(*found, bearerToken(request), turnRequest.messages, turnRequest.media);
    } catch (const FileBlockError& e) {
        sendJsonError(handler, response, e.status, e.code, e.message);
        return;
    }

    if (req.applySampling) {
        std::string error;
        if (!validateSamplingOptions(req.options, found->maxPredict(found->config.contextSettings.nCtx), error)) {
            sendJsonError(handler, response, 400, "bad_request", error);
            return;
        }
    }

    // The busy test and the claim are one step; the load below happens under
    // the claim, so a second request meanwhile is refused, never loads twice.
    ClaimResult claimed = ClaimResult::kOk;
    RequestRelease release;
    release.arm(MivrelClaim::acquire(found, ClaimKind::kRun, &claimed));
    if (!release.armed()) {
        if (claimed == ClaimResult::kRemoved) {
            sendJsonError(handler, response, 404, "mivrel_not_found", "Mivrel not found: " + id);
            return;
        }
        // Busy. A loaded instance that generates for another conversation
        // is that conversation's: the holder is read from the status view,
        // never from the fields the running request owns.
        const std::string holder = found->statusView().conversationId;
        if (claimed == ClaimResult::kBusy && found->hasEngine() && !req.mivrelReset && !holder.empty() &&
            holder != req.conversationId) {
            logMessage(9, "[POST /v1/%s/messages] Mivrel is currently in use by conversation: %s", cid,
                       holder.c_str());
            sendJsonError(handler, response, 409, "mivrel_occupied",
                          "Mivrel is currently in use by conversation: " + holder);
            return;
        }
        logMessage(9, "[POST /v1/%s/messages] Mivrel is already in progress", cid);
        sendJsonError(handler, response, 409, "mivrel_inferring", "Inference in progress");
        return;
    }
    Mivrel& mivrel = *found;
    if (!admit(handler, response, mivrel, req, id, release)) return;

    bool stream = req.stream;
    if (stream) {
        response.headers["Content-Type"] = "text/event-stream";
        response.headers["Cache-Control"] = "no-cache";
        response.headers["X-Accel-Buffering"] = "no";
        handler.beginChunked(response);
    }
    ReplyContext reply(stream, id, handler, response);
    reply.release = &release;
    const SseTarget& sse = reply.sse;

    std::string samplerReason = "current";
    nlohmann::ordered_json initPayload;
    bool loadedNow = false;

    InitLoadStep step{id, &sse, [&](Mivrel& m) {
                          m.setConversation(req.conversationId);
                          logMessage(4, "[POST /v1/%s/messages] 모델 로드 완료: conversationId=%s", cid,
                                     req.conversationId.c_str());
                          if (gEventManager)
                              gEventManager->add("info", "mivrel", id, "Mivrel started", "model=" + m.config.modelPath);
                      }};
    const InitLoadResult load = loadWithInitEvents(release.claim(), step);
    if (load.failed) {
        logMessage(1, "[POST /v1/%s/messages] 모델 로드 실패: %s", cid, load.error.c_str());
        release.refuse();
        reply.sendInitFailed("model", load.t0, load.error);
        return;
    }
    if (load.loadedNow) {
        initPayload = load.initDone;
        loadedNow = true;
        samplerReason = "reset";
    }
    MivrelEngine& engine = *mivrel.engine;

    if (mivrel.conversationId != req.conversationId) {
        logMessage(4, "[POST /v1/%s/messages] conversationId 전환: [%s] → [%s]", cid, mivrel.conversationId.c_str(),
                   req.conversationId.c_str());
        mivrel.setConversation(req.conversationId);
        engine.resetSampler();
        samplerReason = "reset";
    }

    if (req.mivrelReset && !loadedNow) {
        const int64_t t0 = nowMs();
        sendSseEvent(sse, "mivrel.init_start", makeInitStartPayload(mivrel, id, "context", nowIsoTimeMs()));
        try {
            engine.resetContext(mivrel.config.contextSettings);
        } catch (const std::exception& e) {
            logMessage(1, "[POST /v1/%s/messages] mivrel_reset 실패: %s", cid, e.what());
            release.refuse();
            reply.sendInitFailed("context", t0, e.what());
            return;
        }
        // A fresh context starts a fresh session.
        mivrel.generationIndex = 0;
        mivrel.sessionOutputTokens.store(0);
        logMessage(4, "[POST /v1/%s/messages] mivrel_reset: KV 캐시 초기화", cid);
        initPayload = makeInitDonePayload(mivrel, id, "context", t0);
        sendSseEvent(sse, "mivrel.init_done", initPayload);
        samplerReason = "reset";
    }

    const std::string messageId = newMessageId();
    nlohmann::ordered_json created = nlohmann::ordered_json::object();
    created["mivrelId"] = id;
    created["conversationId"] = req.conversationId;
    created["message_id"] = messageId;
    sendSseEvent(sse, "message.created", created);

    if (req.applySampling) {
        nlohmann::json options = req.options;
        const int limit = mivrel.maxPredict(engine.nCtx());
        if (options.contains("max_tokens") && options["max_tokens"].is_number_integer()) {
            const nlohmann::json& v = options["max_tokens"];
            const bool above = v.is_number_unsigned() ? v.get<uint64_t>() > static_cast<uint64_t>(std::max(limit, 0))
                                                      : v.get<int64_t>() > limit;
            if (above) options["max_tokens"] = limit;
        }
        try {
            engine.setSamplingOptions(options);
        } catch (const MivrelException& e) {
            release.refuse();
            reply.sendMessageError(400, "bad_request", e.what());
            return;
        }
        samplerReason = "changed";
    }

    nlohmann::ordered_json sampler = nlohmann::ordered_json::object();
    sampler["reason"] = samplerReason;
    const nlohmann::json sampling = engine.getSamplingOptions();
    if (sampling.is_object()) {
        for (auto it = sampling.begin(); it != sampling.end(); ++it) sampler[it.key()] = it.value();
    }
    sendSseEvent(sse, "message.sampler", sampler);

    turnRequest.mivrelId = id;
    turnRequest.action = req.action;
    turnRequest.hasMessages = req.hasMessages;
    turnRequest.think = req.think;
    turnRequest.hasBudget = req.hasBudget;
    turnRequest.budget = req.budget;
    turnRequest.tools = req.tools;
    turnRequest.showGenStatus = req.showGenStatus;

    ChatTurn turn;
    try {
        composeChatTurn(mivrel, turnRequest, turn);
    } catch (const nlohmann::json::exception& e) {
        // Messages of the wrong shape are the client's mistake.
        logMessage(2, "[POST /v1/%s/messages] 프롬프트 거절: %s", cid, e.what());
        release.refuse();
        reply.sendMessageError(400, "bad_request", std::string("invalid messages: ") + e.what());
        return;
    }
    ReplyState state;
    if (!startChatTurn(mivrel, turnRequest, turn, state, reply)) return;

    GenerationRun run{mivrel, id, *turn.assembler, state, turn.rawSource};
    if (stream) {
        std::string error;
        if (!runStreamedGeneration(handler, run, &error)) {
            logMessage(1, "[POST /v1/%s/messages] 생성 중 오류: %s", cid, error.c_str());
            reply.sendMessageError(500, "internal_error", error);
            return;
        }
    } else {
        runPlainGeneration(run);
    }

    nlohmann::json message = buildMessageObject(messageId, state, turn.inputTokens, turn.genStartMs, mivrel,
                                                turn.usage, req.debugPrompt, turn.promptText);
    finishChatTurn(mivrel, id, messageId, turn, state);
    // The instance is free (or unloaded) before the client sees the end.
    release.run();

    if (stream) {
        nlohmann::json completed = nlohmann::json::object();
        completed["conversationId"] = req.conversationId;
        completed["message"] = std::move(message);
        completed["mivrelId"] = id;
        handler.writeChunk(formatSseEvent("message.completed", dumpReply(completed, -1)));
        sendSseDone(handler);
        return;
    }
    nlohmann::json body = nlohmann::json::object();
    body["conversationId"] = req.conversationId;
    body["message"] = std::move(message);
    body["mivrelId"] = id;
    if (!initPayload.is_null()) body["mivrel_init"] = parseJson(initPayload.dump());
    body["sampler"] = parseJson(sampler.dump());
    response.status = 200;
    response.reason = reasonPhrase(200);
    response.headers["Content-Type"] = "application/json";
    response.setBody(dumpReply(body, 2));
    handler.sendResponse(response);
}

void installChatRoutes() { routeHandlers().messages = handleMessages; }
