// Fixture of the instance endpoint tests: a manager of its own with
// instances served by a scripted fake engine, and a connection whose written
// bytes are read back as one reply.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/engine_factory.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"
#include "net/fake_peer.h"
#include "net/http_request_handler.h"

namespace instance_api {

// What the fake engines of one test share: their figures, their raw token
// script, and counters of the calls that matter.
struct EngineScript {
    std::mutex mu;
    std::condition_variable wake;
    ContextStats stats{4096, 0, 0, 1 << 20};
    nlohmann::json capabilities;  // null unless set
    std::deque<RawToken> tokens;
    bool throwOnFetch = false;    // fetchNextRawToken throws MivrelException once the tokens are used up
    bool throwOnTokenize = false;
    bool throwOnReset = false;
    bool turnOpen = false;
    bool blockWhenEmpty = false;  // fetchNextRawToken waits for an abort once the tokens are used up
    bool aborted = false;
    std::atomic<int> statsCalls{0};
    std::atomic<int> resetContextCalls{0};
    std::atomic<int> resetSamplerCalls{0};
    std::atomic<int> tokenizeCalls{0};
    std::atomic<int> abortCalls{0};
    std::atomic<int> made{0};
    // The threads that decoded a prompt or generated, in call order.
    std::vector<std::thread::id> computeThreads;
};

class ScriptedEngine : public MivrelEngine {
public:
    explicit ScriptedEngine(std::shared_ptr<EngineScript> script) : script_(std::move(script)) {}
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings&) override {}
    void abortGeneration() override {
        ++script_->abortCalls;
        std::lock_guard<std::mutex> lock(script_->mu);
        script_->aborted = true;
        script_->wake.notify_all();
    }
    ModelInfo getModelInfo() override { return ModelInfo(); }
    ContextStats getContextStats() override {
        ++script_->statsCalls;
        std::lock_guard<std::mutex> lock(script_->mu);
        return script_->stats;
    }
    nlohmann::json getSamplingOptions() override { return {{"temperature", 0.8}}; }
    nlohmann::json getCapabilities() override {
        std::lock_guard<std::mutex> lock(script_->mu);
        return script_->capabilities;
    }
    std::vector<int32_t> tokenizePrompt(const std::string& prompt, const TokenCallback&) override {
        ++script_->tokenizeCalls;
        if (script_->throwOnTokenize) throw MivrelException(MivrelErrorCode::LimitExceeded, "tokenize failed: prompt is too long (ret=%d)", -9);
        return std::vector<int32_t>(prompt.begin(), prompt.end());
    }
    void resetContext(const ContextSettings&) override {
        ++script_->resetContextCalls;
        if (script_->throwOnReset) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context reset failed");
        std::lock_guard<std::mutex> lock(script_->mu);
        script_->stats.usedCells = 0;
        script_->stats.nPast = 0;
    }
    void resetSampler() override { ++script_->resetSamplerCalls; }
    std::vector<int32_t> tokenizeText(const std::string& text, bool, bool) override {
        return std::vector<int32_t>(text.begin(), text.end());
    }
    bool startGeneration(const std::vector<int32_t>&) override {
        noteComputeThread();
        return true;
    }
    // A reply of one piece and one block.
    void runWithAssembler(ModelMessageAssembler&, SnapshotCallback onSnapshot, MessageCallback onMessage) override {
        noteComputeThread();
        AssemblingSnapshot snapshot;
        snapshot.lastPiece = snapshot.textDelta = "ok";
        snapshot.partType = "message";
        onSnapshot(snapshot);
        ModelMessageT block;
        block.metaType = "message";
        block.content = "ok";
        block.tokens = 1;
        onMessage(block);
    }
    bool isTurnOpen() override { return script_->turnOpen; }
    void setTurnOpen(bool open) override { script_->turnOpen = open; }
    bool fetchNextRawToken(RawToken& token) override {
        std::unique_lock<std::mutex> lock(script_->mu);
        if (!script_->tokens.empty()) {
            token = script_->tokens.front();
            script_->tokens.pop_front();
            ++script_->stats.usedCells;
            return true;
        }
        if (script_->throwOnFetch) throw MivrelException(MivrelErrorCode::RuntimeFailed, "decode failed (ret=%d)", -1);
        if (script_->blockWhenEmpty) script_->wake.wait(lock, [&] { return script_->aborted; });
        return false;
    }

private:
    void noteComputeThread() {
        std::lock_guard<std::mutex> lock(script_->mu);
        script_->computeThreads.push_back(std::this_thread::get_id());
    }

    std::shared_ptr<EngineScript> script_;
};

// One reply as written to the connection.
struct Written {
    int status = 0;
    std::string head;
    std::string body;  // chunks joined for a chunked reply
    nlohmann::json json() const { return nlohmann::json::parse(body, nullptr, false); }
};

Written parseWritten(const std::string& wire);

class InstanceApiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Registers a "fake" instance of `familyType` served by the script.
    std::shared_ptr<Mivrel> add(const std::string& id, const std::string& familyType = "LLM");
    // Installs the instance's engine as a load would.
    void load(const std::shared_ptr<Mivrel>& mivrel);

    using Handler = void (*)(const ServiceContext&, HttpRequestHandler&, const Request&, Response&, const std::string&);
    // Runs `handler` for `id` with `body` (and `query`) on a fresh connection.
    Written call(Handler handler, const std::string& id, const std::string& body = "",
                 const std::string& query = "");

    std::shared_ptr<EngineScript> script_ = std::make_shared<EngineScript>();
    // The handlers' services: a manager in a temporary folder, no event log.
    ServiceContext services_;
};

}  // namespace instance_api
