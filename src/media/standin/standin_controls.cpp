#include "media/standin/standin_controls.h"

#include <cstdlib>

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

int64_t envInt(const char* name, int64_t fallback) {
    const std::string text = env(name);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0' ? value : fallback;
}

}  // namespace

StandinControls readStandinControls() {
    StandinControls controls;
    controls.stepDelayMs = envInt("BRISVANE_STANDIN_STEP_DELAY_MS", 0);
    if (controls.stepDelayMs < 0) controls.stepDelayMs = 0;
    controls.fail = env("BRISVANE_STANDIN_FAIL");
    if (!env("BRISVANE_STANDIN_FPS").empty()) {
        controls.fpsSet = true;
        controls.fps = static_cast<int32_t>(envInt("BRISVANE_STANDIN_FPS", 0));
    }
    const std::string audio = env("BRISVANE_STANDIN_AUDIO");
    if (audio == "none") controls.audioChannels = 0;
    if (audio == "stereo") controls.audioChannels = 2;
    if (audio == "3ch") controls.audioChannels = 3;
    controls.audioRate = static_cast<int32_t>(envInt("BRISVANE_STANDIN_AUDIO_RATE", 44100));
    return controls;
}
