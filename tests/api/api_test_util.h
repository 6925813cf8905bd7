// Helpers of the inference API tests: an in-memory connection whose written
// bytes can be read back, and a small engine that provides only what the
// event and release helpers touch.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "engine/engine_factory.h"
#include "engine/mivrel.h"
#include "engine/mivrel_engine.h"
#include "net/fake_peer.h"
#include "net/http_request_handler.h"

// A connection handler over a FakePeer; `wire()` is what the server wrote.
class TestConnection {
public:
    TestConnection() : peer_(""), handler_("", "", &peer_, peer_.getInputStream(), peer_.getOutputStream()) {}
    HttpRequestHandler& handler() { return handler_; }
    const std::string& wire() { return peer_.output().written; }
    void failWrites() { peer_.output().failWrites = true; }

private:
    FakePeer peer_;
    HttpRequestHandler handler_;
};

// An engine with a fixed context and model information; counts live objects.
class StubEngine : public MivrelEngine {
public:
    static std::atomic<int> live;
    StubEngine() { ++live; }
    ~StubEngine() override { --live; }
    void loadModel(const ModelLoadSettings&) override {}
    void unloadModel() override {}
    void initContext(const ContextSettings& settings) override { stats.nCtx = settings.nCtx; }
    void abortGeneration() override {}
    ModelInfo getModelInfo() override { return info; }
    ContextStats getContextStats() override { return stats; }
    nlohmann::json getCapabilities() override { return capabilities; }
    bool supportsImageInput() override { return vision; }

    ContextStats stats;
    ModelInfo info;
    nlohmann::json capabilities;
    bool vision = false;
};

// The engine maker that gives every familyType a StubEngine.
inline MivrelEngineMaker stubEngines() {
    return [](const std::string&) -> std::unique_ptr<MivrelEngine> { return std::make_unique<StubEngine>(); };
}

// An idle instance with the given id and familyType, not registered, whose
// engines come from `engineMaker` first.
inline std::shared_ptr<Mivrel> makeTestMivrel(const std::string& id, const std::string& familyType = "LLM",
                                              MivrelEngineMaker engineMaker = {}) {
    auto mivrel = std::make_shared<Mivrel>();
    mivrel->config.id = id;
    mivrel->config.familyType = familyType;
    mivrel->engineMaker = std::move(engineMaker);
    return mivrel;
}
