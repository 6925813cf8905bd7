#include "media/sd_common_settings.h"

#include "media/job_options.h"
#include "media/sd_calls.h"

SdCommonSettings readSdCommonSettings(const GenerationInput& input, const SdCommonDefaults& defaults) {
    const nlohmann::json& o = input.options;
    SdCommonSettings settings;
    settings.prompt = input.textOfRole("prompt");
    settings.negative = input.textOfRole("negative");
    settings.seed = resolveSeed(jobInt(o, "seed", -1));
    settings.width = jobInt(o, "width", defaults.width);
    settings.height = jobInt(o, "height", defaults.height);
    settings.steps = jobInt(o, "steps", defaults.steps);
    settings.cfg = jobNumber(o, "cfg_scale", defaults.cfg);
    settings.tiling = jobBool(o, "vae_tiling", defaults.tiling);
    return settings;
}

void applySdCommonSettings(sd_opt* options, const SdCommonSettings& settings, const nlohmann::json& jobOptions) {
    setSdOptionString(options, "prompt", settings.prompt);
    setSdOptionString(options, "negative_prompt", settings.negative);
    setSdOptionInt(options, "width", settings.width);
    setSdOptionInt(options, "height", settings.height);
    setSdOptionInt(options, "seed", settings.seed);
    setSdOptionInt(options, "sample.steps", settings.steps);
    setSdOptionString(options, "sample.method", jobText(jobOptions, "sampler", "euler"));
    if (jobOptions.contains("scheduler") && jobOptions["scheduler"].is_string()) {
        setSdOptionString(options, "sample.scheduler", jobOptions["scheduler"].get<std::string>());
    }
    setSdOptionFloat(options, "sample.guidance.txt_cfg", settings.cfg);
    setSdOptionBool(options, "vae_tiling.enabled", settings.tiling);
}
