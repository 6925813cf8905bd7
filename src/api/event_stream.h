// Server-sent event helpers of the streaming inference handlers, and the two
// error reporters every stage after an event-stream head uses, so that a
// failure ends a stream with an error event instead of a second HTTP reply.
//
// Everything here writes on the connection thread that owns the response.
// REQUIRES external synchronization: one connection thread per object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "net/http_request_handler.h"
#include "net/streams.h"

class RequestRelease;

// For the life of the object, a write of the reply that waits on a client
// which stopped reading gives up once `stopped` is true (see
// OutputStream::setAbandonCheck): a stop or unload then frees an instance
// whose writer is blocked. Connection thread only.
class WriteAbandonScope {
public:
    WriteAbandonScope(HttpRequestHandler& handler, const std::atomic<bool>& stopped) : output_(handler.output()) {
        if (output_) output_->setAbandonCheck([&stopped] { return stopped.load(); });
    }
    ~WriteAbandonScope() {
        if (output_) output_->setAbandonCheck(nullptr);
    }
    WriteAbandonScope(const WriteAbandonScope&) = delete;
    WriteAbandonScope& operator=(const WriteAbandonScope&) = delete;

private:
    OutputStream* output_;
};

// Where a handler's events go: the request's stream flag (read at each call,
// so a handler may decide late whether it streams) and the connection.
struct SseTarget {
    const bool& stream;
    HttpRequestHandler& handler;
};

// When target.stream is true, writes one "event: <event>\ndata: <compact
// payload>\n\n" frame as one chunk; otherwise writes nothing. Bytes that are
// not valid UTF-8 in the payload are written as U+FFFD. Throws IOException
// when the peer is gone.
void sendSseEvent(const SseTarget& target, const std::string& event, const nlohmann::ordered_json& payload);
void sendSseEvent(const SseTarget& target, const char* event, const nlohmann::ordered_json& payload);

// Starts a streamed reply: status 200 with the event-stream headers (no
// caching, no proxy buffering), sent as the head of a chunked body. Throws
// IOException when the peer is gone.
void beginEventStream(HttpRequestHandler& handler, Response& response);

// The chunk "data: [DONE]\n\n", then the chunked terminator. Throws
// IOException when the peer is gone.
void sendSseDone(HttpRequestHandler& handler);

// {"error": {"code": code, "message": message}}: the error payload of stream
// events, which carries no "httpStatus".
nlohmann::ordered_json makeSseErrorJson(const std::string& code, const std::string& message);

// One request's reply channel for failures after validation. When `release`
// is set, both reporters run it before they write, so the instance is idle
// (or unloaded) before the client can see the end of the reply.
struct ReplyContext {
    const bool& stream;
    std::string mivrelId;
    SseTarget sse;
    HttpRequestHandler& handler;
    Response& response;
    RequestRelease* release = nullptr;

    ReplyContext(const bool& streamFlag, std::string id, HttpRequestHandler& h, Response& r)
        : stream(streamFlag), mivrelId(std::move(id)), sse{streamFlag, h}, handler(h), response(r) {}

    // Streaming: event "message.error" with makeSseErrorJson, then
    // sendSseDone. Otherwise the JSON error reply with `status`.
    void sendMessageError(int status, const std::string& code, const std::string& message);

    // Streaming: event "mivrel.init_failed" {"mivrelId", "scope", "error":
    // {"code": "mivrel_init_fail", "message"}, "elapsed_ms": now - startMs},
    // then sendSseDone. Otherwise the JSON error 500 "mivrel_init_fail".
    void sendInitFailed(const std::string& scope, int64_t startMs, const std::string& message);
};
