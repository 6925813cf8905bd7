#include "api/event_stream.h"

#include "api/request_release.h"
#include "base/text_util.h"
#include "net/http_response.h"

namespace {

void runRelease(RequestRelease* release) {
    if (release) release->run();
}

}  // namespace

void sendSseEvent(const SseTarget& target, const std::string& event, const nlohmann::ordered_json& payload) {
    if (!target.stream) return;
    // Model output may hold broken bytes; a stream must never die on them.
    const std::string data = payload.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    target.handler.writeChunk(formatSseEvent(event, data));
}

void sendSseEvent(const SseTarget& target, const char* event, const nlohmann::ordered_json& payload) {
    sendSseEvent(target, std::string(event), payload);
}

void beginEventStream(HttpRequestHandler& handler, Response& response) {
    response.status = 200;
    response.reason = reasonPhrase(200);
    response.headers["Content-Type"] = "text/event-stream";
    response.headers["Cache-Control"] = "no-cache";
    response.headers["X-Accel-Buffering"] = "no";
    handler.beginChunked(response);
}

void sendSseDone(HttpRequestHandler& handler) {
    handler.writeChunk(std::string("data: [DONE]\n\n"));
    handler.endChunked();
}

nlohmann::ordered_json makeSseErrorJson(const std::string& code, const std::string& message) {
    nlohmann::ordered_json error = nlohmann::ordered_json::object();
    error["code"] = code;
    error["message"] = message;
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
    body["error"] = std::move(error);
    return body;
}

void ReplyContext::sendMessageError(int status, const std::string& code, const std::string& message) {
    runRelease(release);
    if (stream) {
        sendSseEvent(sse, "message.error", makeSseErrorJson(code, message));
        sendSseDone(handler);
    } else {
        sendJsonError(handler, response, status, code, message);
    }
}

void ReplyContext::sendInitFailed(const std::string& scope, int64_t startMs, const std::string& message) {
    runRelease(release);
    if (stream) {
        nlohmann::ordered_json payload = nlohmann::ordered_json::object();
        payload["mivrelId"] = mivrelId;
        payload["scope"] = scope;
        payload["error"] = makeSseErrorJson("mivrel_init_fail", message)["error"];
        payload["elapsed_ms"] = nowMs() - startMs;
        sendSseEvent(sse, "mivrel.init_failed", payload);
        sendSseDone(handler);
    } else {
        sendJsonError(handler, response, 500, "mivrel_init_fail", message);
    }
}
