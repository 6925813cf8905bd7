#include "api/chat_generation.h"

#include "api/event_stream.h"

#include <exception>
#include <thread>

#include "app/logger.h"
#include "app/text_util.h"
#include "engine/mivrel.h"
#include "net/http_response.h"

void StreamQueue::push(const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_) return;
        pending_ += text;
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

// Common part of both snapshot callbacks: keep the raw text and pass on a
// stop asked for meanwhile.
void notePiece(GenerationRun& run, const AssemblingSnapshot& snapshot) {
    run.state.rawOutput += snapshot.lastPiece;
    if (run.mivrel.abortRequested.load() && run.mivrel.engine) run.mivrel.engine->abortGeneration();
}

void sendMessageDelta(GenerationRun& run, StreamQueue& queue, const AssemblingSnapshot& snapshot) {
    run.state.rawOutput += snapshot.lastPiece;
    if (run.mivrel.abortRequested.load()) {
        if (run.mivrel.engine) run.mivrel.engine->abortGeneration();
        return;
    }
    const char* type = nullptr;
    const std::string* delta = nullptr;
    if (snapshot.partType == "thought" && !snapshot.lastPiece.empty()) {
        type = "thinking";
        delta = &snapshot.lastPiece;
    } else if (!snapshot.textDelta.empty()) {
        type = "text";
        delta = &snapshot.textDelta;
    }
    if (!type) return;
    nlohmann::json payload = nlohmann::json::object();
    payload["delta"] = *delta;
    payload["delta_index"] = run.state.deltaIndex++;
    payload["type"] = type;
    queue.push(dumpEvent("message.delta", payload));
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

    std::thread worker([&] {
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
        worker.join();
        throw;
    }
    worker.join();

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
    run.mivrel.engine->runWithAssembler(
        run.assembler, [&](const AssemblingSnapshot& s) { notePiece(run, s); },
        [&](const ModelMessageT& m) { appendContentBlock(m, run.state, run.rawSource, run.mivrel); });
}
