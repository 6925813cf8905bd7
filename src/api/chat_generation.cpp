#include "api/chat_generation.h"

#include "api/event_stream.h"

#include <exception>

#include "base/logger.h"
#include "base/text_util.h"
#include "engine/mivrel.h"
#include "net/http_response.h"

namespace {

// Appends `text` as a JSON string, as the JSON writer would: quotes,
// backslashes and control characters escaped, other bytes as they are. Text
// with bytes above 0x7F goes through the writer itself, which also replaces
// broken sequences.
void appendJsonString(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            return;
        }
    }
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0x0F];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

}  // namespace

std::string formatDeltaEvent(const std::string& delta, int deltaIndex, const char* type) {
    std::string frame;
    frame.reserve(delta.size() + 96);
    frame += "event: message.delta\ndata: {\"delta\":";
    appendJsonString(frame, delta);
    frame += ",\"delta_index\":";
    frame += std::to_string(deltaIndex);
    frame += ",\"type\":\"";
    frame += type;
    frame += "\"}\n\n";
    return frame;
}

void StreamQueue::push(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_) return;
        // Text already pending means the writer was woken for it and has not
        // taken it yet: it takes this text too, without a second wake-up.
        const bool wasEmpty = pending_.empty();
        pending_ += text;
        if (!wasEmpty) return;
    }
    wakeup_.notify_one();
}

void StreamQueue::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wakeup_.notify_one();
}

bool StreamQueue::next(std::string& out) {
    std::unique_lock<std::mutex> lock(mutex_);
    wakeup_.wait(lock, [this] { return !pending_.empty() || done_; });
    if (pending_.empty()) return false;
    out.clear();
    out.swap(pending_);
    return true;
}

namespace {

std::string dumpEvent(const char* event, const nlohmann::json& payload) {
    return formatSseEvent(event, payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// Status views read the context's use from the instance's record: keep it
// up to date with every piece, before the piece can reach the client.
void noteContextInUse(GenerationRun& run) {
    if (run.mivrel.engine) run.mivrel.recordContextInUse(run.mivrel.engine->nPast());
}

// The snapshot callback of a whole reply: keep the raw text and pass on a
// stop asked for meanwhile.
void notePiece(GenerationRun& run, const AssemblingSnapshot& snapshot) {
    noteContextInUse(run);
    run.state.rawOutput += snapshot.lastPiece;
    if (run.mivrel.abortRequested.load() && run.mivrel.engine) run.mivrel.engine->abortGeneration();
}

void sendMessageDelta(GenerationRun& run, StreamQueue& queue, const AssemblingSnapshot& snapshot) {
    noteContextInUse(run);
    run.state.rawOutput += snapshot.lastPiece;
    if (run.mivrel.abortRequested.load()) {
        if (run.mivrel.engine) run.mivrel.engine->abortGeneration();
        return;
    }
    const char* type = nullptr;
    const std::string* delta = nullptr;
    if (!snapshot.thoughtDelta.empty()) {
        type = "thinking";
        delta = &snapshot.thoughtDelta;
    } else if (!snapshot.textDelta.empty()) {
        type = "text";
        delta = &snapshot.textDelta;
    }
    if (!type) return;
    queue.push(formatDeltaEvent(*delta, run.state.deltaIndex++, type));
}

void sendBlockDone(GenerationRun& run, StreamQueue& queue, const ModelMessageT& message) {
    const int64_t elapsed = nowMs() - run.state.lastBlockEndMs;
    const int blockTokens = appendContentBlock(message, run.state, run.rawSource, run.mivrel);
    if (message.metaType == "tool_call") {
        logMessage(4, "[POST /v1/%s/messages] tool_call 수신됨", run.mivrelId.c_str());
        logMessage(4, "%s", message.content.c_str());
    }
    const nlohmann::json& block = run.state.content.back();
    nlohmann::json payload = nlohmann::json::object();
    payload["type"] = block["type"];
    if (block["type"] == "tool_use") {
        payload["id"] = block["id"];
        payload["raw"] = block["raw"];
        if (block.contains("partial")) payload["partial"] = true;
    }
    payload["token_count"] = blockTokens;
    payload["elapsed_ms"] = elapsed;
    queue.push(dumpEvent("message.block_done", payload));
    run.state.lastBlockEndMs = nowMs();
}

}  // namespace

bool runStreamedGeneration(HttpRequestHandler& handler, GenerationRun& run, std::string* error) {
    StreamQueue queue;
    std::exception_ptr failure;
    MivrelEngine& engine = *run.mivrel.engine;
    EngineThread& worker = run.mivrel.engineThread;

    // The instance's engine thread generates while this thread writes.
    worker.post([&] {
        try {
            engine.runWithAssembler(
                run.assembler, [&](const AssemblingSnapshot& s) { sendMessageDelta(run, queue, s); },
                [&](const ModelMessageT& m) { sendBlockDone(run, queue, m); });
        } catch (...) {
            failure = std::current_exception();
        }
        queue.finish();
    });

    try {
        const WriteAbandonScope abandonOnStop(handler, run.mivrel.abortRequested);
        std::string frames;
        while (queue.next(frames)) handler.writeChunk(frames);
    } catch (...) {
        // The client is gone: stop the engine so the worker ends soon, and
        // never leave it running past this request.
        run.mivrel.abortRequested.store(true);
        engine.abortGeneration();
        queue.finish();
        worker.wait();
        throw;
    }
    worker.wait();

    if (!failure) return true;
    std::string message = "generation failed";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
    }
    if (error) *error = message;
    return false;
}

void runPlainGeneration(GenerationRun& run) {
    MivrelEngine& engine = *run.mivrel.engine;
    run.mivrel.engineThread.run([&] {
        engine.runWithAssembler(
            run.assembler, [&](const AssemblingSnapshot& s) { notePiece(run, s); },
            [&](const ModelMessageT& m) { appendContentBlock(m, run.state, run.rawSource, run.mivrel); });
    });
}
