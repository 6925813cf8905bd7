// The settings image and video jobs share (prompts, seed, size, sampling,
// tiling): read from a job's options with each kind's own defaults, and
// written into the media library's option object the same way for both.
// Pure apart from the library's setters; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/generation_input.h"
#include "media/sd_library.h"

struct SdCommonDefaults {
    int64_t width = 0;
    int64_t height = 0;
    int64_t steps = 0;
    double cfg = 0;
    bool tiling = false;
};

struct SdCommonSettings {
    std::string prompt;
    std::string negative;
    int64_t seed = 0;  // resolved: never negative
    int64_t width = 0;
    int64_t height = 0;
    int64_t steps = 0;
    double cfg = 0;
    bool tiling = false;
};

SdCommonSettings readSdCommonSettings(const GenerationInput& input, const SdCommonDefaults& defaults);

// Writes `settings`, the sampler ("euler" unless the job names one) and the
// scheduler (only when the job names one) into `options`. Throws as the
// option setters of sd_calls.h do.
void applySdCommonSettings(sd_opt* options, const SdCommonSettings& settings, const nlohmann::json& jobOptions);
