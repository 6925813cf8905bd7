// Runs the generation of a chat request and collects what it produces.
//
// Both run the engine (runWithAssembler) on the instance's engine thread
// (engine_thread.h), where its prompt was decoded too. Streamed: the
// generation queues "message.delta" and "message.block_done" frames; the
// connection thread writes everything pending as one chunk each time it
// wakes, so a fast generation costs one socket write per wake, not one per
// token. Not streamed: the connection thread waits while the generation only
// collects.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include "api/chat_reply.h"
#include "net/http_request_handler.h"
#include "prompt/message_assembler.h"

class Mivrel;

// The "message.delta" frame of one streamed delta: exactly what framing the
// payload {"delta", "delta_index", "type"} (sorted keys, compact, broken bytes
// as U+FFFD) would give, written without building the JSON object, since it
// goes out once per token.
std::string formatDeltaEvent(const std::string& delta, int deltaIndex, const char* type);

// Frames queued by the worker for the connection thread.
// Safe for concurrent use by multiple threads.
class StreamQueue {
public:
    StreamQueue() = default;
    StreamQueue(const StreamQueue&) = delete;
    StreamQueue& operator=(const StreamQueue&) = delete;

    // Appends `text` to the pending frames and wakes the writer; dropped once
    // finish() was called.
    void push(const std::string& text);
    // Marks the queue done and wakes the writer.
    void finish();
    // Blocks until frames are pending or the queue is done. Moves the pending
    // frames into `out` (true), or returns false when done and empty.
    bool next(std::string& out);

private:
    std::mutex mutex_;
    std::condition_variable wakeup_;
    std::string pending_;
    bool done_ = false;
};

// Everything the generation callbacks share for one request. The engine is
// the claimed instance's.
struct GenerationRun {
    Mivrel& mivrel;
    std::string mivrelId;
    ModelMessageAssembler& assembler;
    ReplyState& state;
    ToolCallRawSource& rawSource;
};

// The streamed run. Returns true when the generation ended without error;
// false with the failure's text in `error` ("generation failed" for a
// non-standard exception) when the engine or a callback threw. When a write
// to the client fails, the engine is aborted (and the instance's
// abortRequested set), the worker joined, and the write's exception passes
// on. The generation never outlives the call.
bool runStreamedGeneration(HttpRequestHandler& handler, GenerationRun& run, std::string* error);

// The non-streamed run; the engine's exceptions pass on.
void runPlainGeneration(GenerationRun& run);
