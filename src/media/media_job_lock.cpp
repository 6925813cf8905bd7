#include "media/media_job_lock.h"

#include <cstring>

#include "base/logger.h"
#include "media/media_engine.h"

std::atomic<MivrelMediaEngine*> currentMediaEngine{nullptr};
std::atomic<int32_t> expectedSteps{0};

std::mutex& mediaGenerationLock() {
    static std::mutex lock;
    return lock;
}

void sdProgressCallback(int32_t step, int32_t steps, float, void*) {
    MivrelMediaEngine* engine = currentMediaEngine.load();
    if (!engine || steps != expectedSteps.load()) return;
    engine->queueProgress(step, steps);
    if (engine->isVideo() && step >= steps) expectedSteps.store(-1);
}

void sdLogCallback(int32_t level, const char* text, void*) {
    if (!text) return;
    if (level >= 3) {
        logMessageRaw(2, "[sd.cpp] %s", text);
    } else if (level == 2) {
        const bool fit = std::strstr(text, "auto-fit") || std::strstr(text, "total params memory size");
        logMessageRaw(fit ? 4 : 9, "[sd.cpp] %s", text);
    }
}
