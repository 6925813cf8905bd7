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
#include "mgmt/service_context.h"
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
    if (req.turn.action.empty()) return true;

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
        logMessage(4, "[POST /v1/%s/messages] conversation_control %s 거절: %s", cid, req.turn.action.c_str(),
                   refusal.c_str());
        release.refuse();
        sendJsonError(handler, response, 400, "bad_request", refusal);
        return false;
    }
    if (req.turn.action == "close_thinking") {
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
               req.turn.action.c_str(), mivrel.openResponseId.c_str(), mivrel.openPhase.c_str(),
               req.turn.hasMessages ? "yes" : "no");
    return true;
}

// One chat request on its way through the steps below: what the client
// asked, the instance it claimed, and what the reply reports of the set-up.
// Declared in the order the handler held them, so the claim ends before the
// instance's last reference from this request goes.
struct MessagesExchange {
    const ServiceContext& services;
    HttpRequestHandler& handler;
    const Request& request;
    Response& response;
    const std::string& id;
    MessagesRequest req;
    std::shared_ptr<Mivrel> found;
    RequestRelease release;
    std::string samplerReason = "current";
    nlohmann::ordered_json initPayload;
    nlohmann::ordered_json sampler = nlohmann::ordered_json::object();
    bool loadedNow = false;
    std::string messageId;

    MessagesExchange(const ServiceContext& services_, HttpRequestHandler& handler_, const Request& request_,
                     Response& response_, const std::string& id_)
        : services(services_), handler(handler_), request(request_), response(response_), id(id_) {}

    const char* cid() const { return id.c_str(); }
    void answerError(int status, const std::string& code, const std::string& message) {
        sendJsonError(handler, response, status, code, message);
    }
};

// Logs and parses the body; 400 "bad_request" for a refused one.
bool readRequest(MessagesExchange& x) {
    const char* cid = x.cid();
    logMessage(9, "[POST /v1/%s/messages] 웹 요청 body:", cid);
    const std::string rawBody(x.request.body.begin(), x.request.body.end());
    logMessage(7, "%s", rawBody.c_str());

    MessagesRequestError invalid;
    if (!parseMessagesRequest(rawBody, x.req, invalid)) {
        x.answerError(400, "bad_request", invalid.message);
        return false;
    }
    x.req.turn.mivrelId = x.id;
    logMessage(4, "[POST /v1/%s/messages] conversationId=%s mivrel_reset=%s stream=%s", cid,
               x.req.conversationId.c_str(), yesNo(x.req.mivrelReset), yesNo(x.req.stream));
    return true;
}

// The instance by id (404 "mivrel_not_found") of the chat family.
bool findInstance(MessagesExchange& x) {
    x.found = x.services.findMivrel(x.id);
    if (!x.found) {
        logMessage(9, "[POST /v1/%s/messages] Mivrel Not found :%s", x.cid(), x.cid());
        x.answerError(404, "mivrel_not_found", "Mivrel not found: " + x.id);
        return false;
    }
    return !checkFamilyType(x.handler, x.response, x.found.get(), {"LLM"}, "messages");
}

// What can be checked before the claim: file references and media of the
// messages, and the sampling bounds.
bool prepareContent(MessagesExchange& x) {
    try {
        convertMessageContent(*x.found, bearerToken(x.request), x.req.turn.messages, x.req.turn.media);
    } catch (const FileBlockError& e) {
        x.answerError(e.status, e.code, e.message);
        return false;
    }
    if (x.req.applySampling) {
        std::string error;
        if (!validateSamplingOptions(x.req.options, x.found->maxPredict(x.found->config.contextSettings.nCtx),
                                     error)) {
            x.answerError(400, "bad_request", error);
            return false;
        }
    }
    return true;
}

// The busy test and the claim are one step; the load after it happens under
// the claim, so a second request meanwhile is refused, never loads twice.
bool claimInstance(MessagesExchange& x) {
    const char* cid = x.cid();
    ClaimResult claimed = ClaimResult::kOk;
    x.release.arm(MivrelClaim::acquire(x.found, ClaimKind::kRun, &claimed));
    if (x.release.armed()) return true;
    if (claimed == ClaimResult::kRemoved) {
        x.answerError(404, "mivrel_not_found", "Mivrel not found: " + x.id);
        return false;
    }
    // Busy. A loaded instance that generates for another conversation
    // is that conversation's: the holder is read from the status view,
    // never from the fields the running request owns.
    const std::string holder = x.found->statusView().conversationId;
    if (claimed == ClaimResult::kBusy && x.found->hasEngine() && !x.req.mivrelReset && !holder.empty() &&
        holder != x.req.conversationId) {
        logMessage(9, "[POST /v1/%s/messages] Mivrel is currently in use by conversation: %s", cid, holder.c_str());
        x.answerError(409, "mivrel_occupied", "Mivrel is currently in use by conversation: " + holder);
        return false;
    }
    logMessage(9, "[POST /v1/%s/messages] Mivrel is already in progress", cid);
    x.answerError(409, "mivrel_inferring", "Inference in progress");
    return false;
}

// A streamed reply starts here: its headers go out before any event.
void beginReply(MessagesExchange& x) {
    if (!x.req.stream) return;
    x.response.headers["Content-Type"] = "text/event-stream";
    x.response.headers["Cache-Control"] = "no-cache";
    x.response.headers["X-Accel-Buffering"] = "no";
    x.handler.beginChunked(x.response);
}

// Loads the instance when it has no engine; the load records the
// conversation and the event log's "Mivrel started".
bool loadInstance(MessagesExchange& x, ReplyContext& reply) {
    const char* cid = x.cid();
    InitLoadStep step{x.id, &reply.sse, [&](Mivrel& m) {
                          m.setConversation(x.req.conversationId);
                          logMessage(4, "[POST /v1/%s/messages] 모델 로드 완료: conversationId=%s", cid,
                                     x.req.conversationId.c_str());
                          x.services.addEvent("info", "mivrel", x.id, "Mivrel started",
                                              "model=" + m.config.modelPath);
                      }};
    const InitLoadResult load = loadWithInitEvents(x.release.claim(), step);
    if (load.failed) {
        logMessage(1, "[POST /v1/%s/messages] 모델 로드 실패: %s", cid, load.error.c_str());
        x.release.refuse();
        reply.sendInitFailed("model", load.t0, load.error);
        return false;
    }
    if (load.loadedNow) {
        x.initPayload = load.initDone;
        x.loadedNow = true;
        x.samplerReason = "reset";
    }
    return true;
}

// Another conversation takes the loaded instance over with a fresh sampler.
void followConversation(MessagesExchange& x, Mivrel& mivrel) {
    if (mivrel.conversationId == x.req.conversationId) return;
    logMessage(4, "[POST /v1/%s/messages] conversationId 전환: [%s] → [%s]", x.cid(), mivrel.conversationId.c_str(),
               x.req.conversationId.c_str());
    mivrel.setConversation(x.req.conversationId);
    mivrel.engine->resetSampler();
    x.samplerReason = "reset";
}

// "mivrel_reset" on an instance that was already loaded: a fresh context.
bool resetContextIfAsked(MessagesExchange& x, Mivrel& mivrel, ReplyContext& reply) {
    if (!x.req.mivrelReset || x.loadedNow) return true;
    const char* cid = x.cid();
    const int64_t t0 = nowMs();
    sendSseEvent(reply.sse, "mivrel.init_start", makeInitStartPayload(mivrel, x.id, "context", nowIsoTimeMs()));
    try {
        mivrel.engine->resetContext(mivrel.config.contextSettings);
    } catch (const std::exception& e) {
        logMessage(1, "[POST /v1/%s/messages] mivrel_reset 실패: %s", cid, e.what());
        x.release.refuse();
        reply.sendInitFailed("context", t0, e.what());
        return false;
    }
    // A fresh context starts a fresh session.
    mivrel.generationIndex = 0;
    mivrel.sessionOutputTokens.store(0);
    logMessage(4, "[POST /v1/%s/messages] mivrel_reset: KV 캐시 초기화", cid);
    x.initPayload = makeInitDonePayload(mivrel, x.id, "context", t0);
    sendSseEvent(reply.sse, "mivrel.init_done", x.initPayload);
    x.samplerReason = "reset";
    return true;
}

// "message.created" with the new message id.
void announceMessage(MessagesExchange& x, const SseTarget& sse) {
    x.messageId = newMessageId();
    nlohmann::ordered_json created = nlohmann::ordered_json::object();
    created["mivrelId"] = x.id;
    created["conversationId"] = x.req.conversationId;
    created["message_id"] = x.messageId;
    sendSseEvent(sse, "message.created", created);
}

// "apply_sampling": the request's options, max_tokens lowered to what the
// context leaves; a value the engine refuses is 400 "bad_request".
bool applySampling(MessagesExchange& x, Mivrel& mivrel, ReplyContext& reply) {
    if (!x.req.applySampling) return true;
    MivrelEngine& engine = *mivrel.engine;
    nlohmann::json options = x.req.options;
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
        x.release.refuse();
        reply.sendMessageError(400, "bad_request", e.what());
        return false;
    }
    x.samplerReason = "changed";
    return true;
}

// "message.sampler": why the sampler is as it is, and its values.
void announceSampler(MessagesExchange& x, Mivrel& mivrel, const SseTarget& sse) {
    x.sampler["reason"] = x.samplerReason;
    const nlohmann::json sampling = mivrel.engine->getSamplingOptions();
    if (sampling.is_object()) {
        for (auto it = sampling.begin(); it != sampling.end(); ++it) x.sampler[it.key()] = it.value();
    }
    sendSseEvent(sse, "message.sampler", x.sampler);
}

// The prompt of this turn; messages of the wrong shape are the client's
// mistake (400 "bad_request").
bool composeTurn(MessagesExchange& x, Mivrel& mivrel, ReplyContext& reply, ChatTurn& turn) {
    try {
        composeChatTurn(mivrel, x.req.turn, turn);
    } catch (const nlohmann::json::exception& e) {
        logMessage(2, "[POST /v1/%s/messages] 프롬프트 거절: %s", x.cid(), e.what());
        x.release.refuse();
        reply.sendMessageError(400, "bad_request", std::string("invalid messages: ") + e.what());
        return false;
    }
    return true;
}

// Runs the generation, streamed or whole; a streamed one that fails ends
// with "message.error" 500 "internal_error".
bool generate(MessagesExchange& x, Mivrel& mivrel, ReplyContext& reply, ChatTurn& turn, ReplyState& state) {
    GenerationRun run{mivrel, x.id, *turn.assembler, state, turn.rawSource};
    if (!x.req.stream) {
        runPlainGeneration(run);
        return true;
    }
    std::string error;
    if (runStreamedGeneration(x.handler, run, &error)) return true;
    logMessage(1, "[POST /v1/%s/messages] 생성 중 오류: %s", x.cid(), error.c_str());
    reply.sendMessageError(500, "internal_error", error);
    return false;
}

// The reply's end: "message.completed" and the stream's end, or the whole
// JSON document with the load and sampler reports.
void sendCompleted(MessagesExchange& x, nlohmann::json message) {
    if (x.req.stream) {
        nlohmann::json completed = nlohmann::json::object();
        completed["conversationId"] = x.req.conversationId;
        completed["message"] = std::move(message);
        completed["mivrelId"] = x.id;
        x.handler.writeChunk(formatSseEvent("message.completed", dumpReply(completed, -1)));
        sendSseDone(x.handler);
        return;
    }
    nlohmann::json body = nlohmann::json::object();
    body["conversationId"] = x.req.conversationId;
    body["message"] = std::move(message);
    body["mivrelId"] = x.id;
    if (!x.initPayload.is_null()) body["mivrel_init"] = parseJson(x.initPayload.dump());
    body["sampler"] = parseJson(x.sampler.dump());
    x.response.status = 200;
    x.response.reason = reasonPhrase(200);
    x.response.headers["Content-Type"] = "application/json";
    x.response.setBody(dumpReply(body, 2));
    x.handler.sendResponse(x.response);
}

// A stop that came while the prompt was tokenized: the reply of a
// generation stopped before its first token (no content, stop reason
// "abort"). Nothing was decoded, so the engine's figures of the previous
// reply do not describe this one, and there is nothing to resume.
void answerStoppedBeforeStart(MessagesExchange& x, ChatTurn& turn, ReplyState& state) {
    Mivrel& mivrel = *x.found;
    nlohmann::json message = buildMessageObject(x.messageId, state, 0, turn.genStartMs, mivrel, turn.usage,
                                                x.req.debugPrompt, turn.promptText);
    nlohmann::json& usage = message["usage"];
    usage["stop_reason"] = "abort";
    usage["resumable"] = false;
    usage["prefill_ms"] = 0;
    usage["thinking_tokens"] = 0;
    x.release.run();
    sendCompleted(x, std::move(message));
}

}  // namespace

void handleMessages(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id) {
    MessagesExchange x(services, handler, request, response, id);
    if (!readRequest(x) || !findInstance(x) || !prepareContent(x) || !claimInstance(x)) return;
    Mivrel& mivrel = *x.found;
    if (!admit(handler, response, mivrel, x.req, id, x.release)) return;

    beginReply(x);
    ReplyContext reply(x.req.stream, id, handler, response);
    reply.release = &x.release;
    if (!loadInstance(x, reply)) return;
    followConversation(x, mivrel);
    if (!resetContextIfAsked(x, mivrel, reply)) return;
    announceMessage(x, reply.sse);
    if (!applySampling(x, mivrel, reply)) return;
    announceSampler(x, mivrel, reply.sse);

    ChatTurn turn;
    if (!composeTurn(x, mivrel, reply, turn)) return;
    ReplyState state;
    if (!startChatTurn(mivrel, x.req.turn, turn, state, reply)) return;
    if (turn.stoppedBeforeStart) return answerStoppedBeforeStart(x, turn, state);
    if (!generate(x, mivrel, reply, turn, state)) return;

    nlohmann::json message = buildMessageObject(x.messageId, state, turn.inputTokens, turn.genStartMs, mivrel,
                                                turn.usage, x.req.debugPrompt, turn.promptText);
    finishChatTurn(mivrel, id, x.messageId, turn, state);
    // The instance is free (or unloaded) before the client sees the end.
    x.release.run();
    sendCompleted(x, std::move(message));
}

void installChatRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.messages = bindServices(services, handleMessages);
}
