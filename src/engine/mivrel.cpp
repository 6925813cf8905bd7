#include "engine/mivrel.h"

#include <chrono>
#include <thread>

#include "base/text_util.h"
#include "engine/engine_factory.h"
#include "engine/format_string.h"
#include "engine/mivrel_exception.h"

Mivrel::Mivrel() = default;

Mivrel::~Mivrel() { engine.reset(); }

bool Mivrel::isDecision() const { return config.familyType == "DECISION"; }

bool Mivrel::isInferring() const {
    const int s = state.load();
    return s == kMivrelRunning || s == kMivrelStopping;
}

std::unique_ptr<MivrelEngine> Mivrel::createEngine() {
    const ModelLoadSettings& load = config.loadSettings;
    if (config.type != "fake" && load.modelPath.empty() && load.modelDir.empty()) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "model not found: cannot find the model files in the model folder");
    }
    std::unique_ptr<MivrelEngine> made = createMivrelEngine(config.familyType, engineMaker);
    made->fileStore = &fileStore;
    made->abortFlag = &abortRequested;
    made->loadModel(load);
    made->initContext(config.contextSettings);
    return made;
}

bool Mivrel::ensureEngine(const std::function<void()>& beforeLoad) {
    std::lock_guard<std::mutex> lock(engineMutex);
    if (engine) return false;
    if (beforeLoad) beforeLoad();
    std::unique_ptr<MivrelEngine> made = createEngine();
    recordEngineStatus(*made);
    recordModelFigures(*made);
    engine = std::move(made);
    engineInstalled_.store(true);
    const int64_t now = nowMs();
    loadedAt.store(now);
    lastActiveAt.store(now);
    return true;
}

void Mivrel::destroyEngine() {
    std::unique_ptr<MivrelEngine> old;
    std::lock_guard<std::mutex> lock(engineMutex);
    old = std::move(engine);
    engineInstalled_.store(false);
    // Destroyed while the lock is still held: an unclaimed user that waits
    // for the lock must find the engine gone, never half destroyed.
    old.reset();
    // Its threads go with it; a new engine starts them again.
    engineThread.stop();
}

void Mivrel::unload(bool keepStore) {
    if (!keepStore && fileStore.truncateOnUnload()) fileStore.truncate();
    destroyEngine();
    loadedAt.store(0);
    lastActiveAt.store(0);
    inputTokens.store(0);
    totalOutputTokens.store(0);
    currentOutputTokens.exchange(0);
    lastOutputTokens.exchange(0);
    sessionOutputTokens.exchange(0);
    abortRequested.store(false);
    lastResponseId.clear();
    openResponseId.clear();
    openPhase.clear();
    declaredTools.clear();
    pendingToolCall.clear();
    lastEndKind.clear();
    lastToolCalls = nlohmann::json::array();
    generationIndex = 0;
    conversationId.clear();
    {
        std::lock_guard<std::mutex> lock(statusMutex_);
        statusView_ = MivrelStatusView();
    }
    // Last: from here on another request may claim the instance, and it must
    // find the reset record.
    state.exchange(kMivrelIdle);
}

MivrelStatusView Mivrel::statusView() const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    return statusView_;
}

void Mivrel::recordEngineStatus(MivrelEngine& source) {
    MivrelStatusView values;
    try {
        values.context = source.getContextStats();
        values.sampling = source.getSamplingOptions();
        values.capabilities = source.getCapabilities();
        values.engineValues = true;
    } catch (...) {
        values = MivrelStatusView();
    }
    std::lock_guard<std::mutex> lock(statusMutex_);
    statusView_.engineValues = values.engineValues;
    statusView_.context = values.context;
    statusView_.sampling = std::move(values.sampling);
    statusView_.capabilities = std::move(values.capabilities);
}

void Mivrel::recordModelFigures(MivrelEngine& source) {
    MivrelStatusView values;
    try {
        const ModelInfo info = source.getModelInfo();
        values.modelLayers = info.nLayer;
        values.gpuLayersRequested = info.nGpuLayersRequested;
        for (const LayerPlacement& layer : info.layerPlacement) {
            // Weights on the processor sit in "CPU" buffers or in the CPU
            // backend's mapped and repacked ones ("CPU_Mapped", "CPU_REPACK");
            // "MIXED" and "UNKNOWN" count as GPU layers.
            if (layer.device != "CPU" && layer.device.rfind("CPU_", 0) != 0) ++values.gpuLayersActual;
        }
        values.modelValues = true;
    } catch (...) {
        values = MivrelStatusView();
    }
    std::lock_guard<std::mutex> lock(statusMutex_);
    statusView_.modelValues = values.modelValues;
    statusView_.modelLayers = values.modelLayers;
    statusView_.gpuLayersActual = values.gpuLayersActual;
    statusView_.gpuLayersRequested = values.gpuLayersRequested;
}

void Mivrel::refreshStatusView() {
    if (engine) {
        recordEngineStatus(*engine);
    } else {
        std::lock_guard<std::mutex> lock(statusMutex_);
        const MivrelStatusView empty;
        statusView_.engineValues = false;
        statusView_.context = empty.context;
        statusView_.sampling = nullptr;
        statusView_.capabilities = nullptr;
    }
    std::lock_guard<std::mutex> lock(statusMutex_);
    statusView_.conversationId = conversationId;
    statusView_.lastResponseId = lastResponseId;
    statusView_.generationIndex = generationIndex;
    statusView_.lastTokensPerSec = lastTokensPerSec;
}

void Mivrel::recordContextInUse(int32_t cells) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (!statusView_.engineValues) return;
    statusView_.context.usedCells = cells;
    statusView_.context.nPast = cells;
}

void Mivrel::setConversation(const std::string& conversation) {
    conversationId = conversation;
    std::lock_guard<std::mutex> lock(statusMutex_);
    statusView_.conversationId = conversation;
}

bool Mivrel::truncateStorageIfEnabled() {
    if (!fileStore.truncateOnUnload()) return false;
    return fileStore.truncate();
}

bool Mivrel::stopGenerationAndWait(int timeoutMs) {
    // Only a running instance is moved to stopping: an exchange would leave
    // an instance whose request just ended stuck in the stopping state.
    int expected = kMivrelRunning;
    if (!state.compare_exchange_strong(expected, kMivrelStopping) && expected != kMivrelStopping) return true;
    abortRequested.store(true);

    using Clock = std::chrono::steady_clock;
    const int64_t start = steadyNowMs();
    bool abortDelivered = false;
    Clock::time_point wake = Clock::now();
    for (;;) {
        const int s = state.load();
        if (s != kMivrelRunning && s != kMivrelStopping) return true;
        if (!abortDelivered) {
            // The lock is busy only while an engine is installed or destroyed;
            // the abort then reaches the engine on a later poll.
            std::unique_lock<std::mutex> lock(engineMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                if (engine) engine->abortGeneration();
                abortDelivered = true;
            }
        }
        if (steadyNowMs() - start >= timeoutMs) return false;
        wake += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(wake);
    }
}

const nlohmann::json& Mivrel::listedFacts(const std::function<nlohmann::json()>& read) const {
    std::call_once(listedFactsOnce_, [&] { listedFacts_ = read(); });
    return listedFacts_;
}
