#include "engine/engine_factory.h"

#include <map>
#include <mutex>

#include "engine/mivrel_decision_engine.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"

namespace {

std::mutex& makerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, MivrelFamilyMaker>& familyMakers() {
    static std::map<std::string, MivrelFamilyMaker> makers;
    return makers;
}

bool isRegisteredFamily(const std::string& familyType) {
    return familyType == "IMAGE" || familyType == "VIDEO" || familyType == "AUDIO";
}

// Families whose engine class has not been linked into this build yet.
[[noreturn]] void notAvailable(const std::string& familyType) {
    const char* shown = familyType.empty() ? "LLM" : familyType.c_str();
    throw MivrelException(MivrelErrorCode::LoadFailed, "engine for familyType %s is not available in this build", shown);
}

}  // namespace

void registerMivrelEngineFamily(const std::string& familyType, MivrelFamilyMaker maker) {
    std::lock_guard<std::mutex> lock(makerMutex());
    if (maker) {
        familyMakers()[familyType] = std::move(maker);
    } else {
        familyMakers().erase(familyType);
    }
}

std::unique_ptr<MivrelEngine> createMivrelEngine(const std::string& familyType, const MivrelEngineMaker& maker) {
    MivrelFamilyMaker familyMaker;
    {
        std::lock_guard<std::mutex> lock(makerMutex());
        const auto found = familyMakers().find(familyType);
        if (found != familyMakers().end()) familyMaker = found->second;
    }
    if (maker) {
        if (std::unique_ptr<MivrelEngine> engine = maker(familyType)) return engine;
    }
    if (familyType.empty() || familyType == "LLM") return std::make_unique<MivrelLLMEngine>();
    if (familyType == "DECISION") return std::make_unique<MivrelDecisionEngine>();
    if (isRegisteredFamily(familyType)) {
        if (!familyMaker) notAvailable(familyType);
        return familyMaker();
    }
    throw MivrelException(MivrelErrorCode::BadInput, "unsupported model familyType: %s", familyType.c_str());
}
