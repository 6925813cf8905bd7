#include "engine/engine_factory.h"

#include <mutex>

#include "engine/mivrel_decision_engine.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"

namespace {

std::mutex& makerMutex() {
    static std::mutex mutex;
    return mutex;
}

MivrelEngineMaker& testMaker() {
    static MivrelEngineMaker maker;
    return maker;
}

// Families whose engine class has not been linked into this build yet.
[[noreturn]] void notAvailable(const std::string& familyType) {
    const char* shown = familyType.empty() ? "LLM" : familyType.c_str();
    throw MivrelException(5, "engine for familyType %s is not available in this build", shown);
}

}  // namespace

void setMivrelEngineMakerForTesting(MivrelEngineMaker maker) {
    std::lock_guard<std::mutex> lock(makerMutex());
    testMaker() = std::move(maker);
}

std::unique_ptr<MivrelEngine> createMivrelEngine(const std::string& familyType) {
    MivrelEngineMaker maker;
    {
        std::lock_guard<std::mutex> lock(makerMutex());
        maker = testMaker();
    }
    if (maker) {
        if (std::unique_ptr<MivrelEngine> engine = maker(familyType)) return engine;
    }
    if (familyType.empty() || familyType == "LLM") return std::make_unique<MivrelLLMEngine>();
    if (familyType == "DECISION") return std::make_unique<MivrelDecisionEngine>();
    if (familyType == "IMAGE" || familyType == "VIDEO") notAvailable(familyType);  // MivrelMediaEngine(familyType)
    if (familyType == "AUDIO") notAvailable(familyType);                           // MivrelAudioEngine
    throw MivrelException(3, "unsupported model familyType: %s", familyType.c_str());
}
