// Test controls of the stand-in library, read from the environment at each
// generation (so one test process can change them between jobs):
//   BRISVANE_STANDIN_STEP_DELAY_MS  milliseconds slept per sampling step (0)
//   BRISVANE_STANDIN_FAIL           "create": contexts cannot be made;
//                                   "generate": every generation fails;
//                                   "empty": generations return no image;
//                                   "blank_last": the last image has no pixels
//   BRISVANE_STANDIN_FPS            the frame rate a video result reports
//                                   (default: the requested one; 0: none)
//   BRISVANE_STANDIN_AUDIO          sound of video results: "mono" (default),
//                                   "stereo", "3ch" or "none"
//   BRISVANE_STANDIN_AUDIO_RATE     its sample rate (default 44100)
#pragma once

#include <cstdint>
#include <string>

struct StandinControls {
    int64_t stepDelayMs = 0;
    std::string fail;
    bool fpsSet = false;
    int32_t fps = 0;
    int32_t audioChannels = 1;  // 0: none
    int32_t audioRate = 44100;
};

StandinControls readStandinControls();
