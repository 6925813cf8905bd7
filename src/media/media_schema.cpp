// What image and video jobs accept: the input schema built from the model's
// generation defaults and the instance's limits, and the sampler and
// scheduler names, which only the library can judge.
#include <algorithm>
#include <climits>

#include "engine/model_capabilities.h"
#include "engine/mivrel_exception.h"
#include "media/media_engine.h"
#include "media/sd_calls.h"

namespace {

// The largest values an instance's "limits" can raise the bounds to: beyond
// them a request would ask the library for more memory than any machine has
// (or, for sizes, more than a VP8 frame can hold).
constexpr int kMaxSide = 16383;
constexpr int kMaxSteps = 10000;
constexpr int kMaxCount = 64;
constexpr int kMaxFrames = 4096;
constexpr int kMaxRefImages = 64;

OptionSpec option(const char* name, const char* type) {
    OptionSpec spec;
    spec.name = name;
    spec.type = type;
    return spec;
}

OptionSpec bounded(const char* name, const char* type, double min, bool hasMax, double max) {
    OptionSpec spec = option(name, type);
    spec.hasMin = true;
    spec.min = min;
    spec.hasMax = hasMax;
    spec.max = max;
    return spec;
}

// genDefaults[key] when it has the option's JSON kind, else `fallback`.
nlohmann::json defaultOf(const nlohmann::json& defaults, const char* key, const char* type,
                         const nlohmann::json& fallback) {
    const auto it = defaults.find(key);
    if (it == defaults.end()) return fallback;
    const std::string kind = type;
    if (kind == "int" && it->is_number_integer()) return *it;
    if (kind == "number" && it->is_number()) return *it;
    if (kind == "string" && it->is_string()) return *it;
    if (kind == "bool" && it->is_boolean()) return *it;
    return fallback;
}

int limitOf(const nlohmann::json& limits, const char* key, int fallback, int cap) {
    const auto it = limits.find(key);
    if (it == limits.end() || !it->is_number_integer()) return fallback;
    if (it->is_number_unsigned()) return it->get<uint64_t>() > static_cast<uint64_t>(cap) ? cap : it->get<int>();
    const int64_t v = it->get<int64_t>();
    return v > cap ? cap : (v < 0 ? 0 : static_cast<int>(v));
}

}  // namespace

InputSchema MivrelMediaEngine::getInputSchema() {
    const bool video = isVideo();
    const nlohmann::json& d = genDefaults_;
    const nlohmann::json& l = limits_;
    InputSchema schema;
    schema.inputs.push_back(InputSpec{"text", "prompt", 1, 1});
    schema.inputs.push_back(InputSpec{"text", "negative", 0, 1});
    if (vision_) {
        const int maxRefs = std::min(modelLimit(settings_.params, "maxRefImages", 4), kMaxRefImages);
        schema.inputs.push_back(InputSpec{"image", "reference", 0, std::max(maxRefs, 0)});
    }
    if (video) {
        schema.inputs.push_back(InputSpec{"image", "init", 0, 1});
        schema.inputs.push_back(InputSpec{"image", "end", 0, 1});
    }

    nlohmann::json multiple = defaultOf(d, "size_multiple", "int", 8);
    const int32_t step = multiple.get<int64_t>() > 0 && multiple.get<int64_t>() <= 1024 ? multiple.get<int32_t>() : 8;
    OptionSpec width = bounded("width", "int", 64, true, limitOf(l, "maxWidth", 2048, kMaxSide));
    width.multipleOf = step;
    width.defaultValue = defaultOf(d, "width", "int", 1024);
    OptionSpec height = bounded("height", "int", 64, true, limitOf(l, "maxHeight", 2048, kMaxSide));
    height.multipleOf = step;
    height.defaultValue = defaultOf(d, "height", "int", 1024);
    OptionSpec steps = bounded("steps", "int", 1, true, limitOf(l, "maxSteps", 100, kMaxSteps));
    steps.defaultValue = defaultOf(d, "steps", "int", 20);
    OptionSpec cfg = bounded("cfg_scale", "number", 0, true, 30);
    cfg.defaultValue = defaultOf(d, "cfg_scale", "number", 6.0);
    // The job's seed is a signed 32-bit value; -1 asks for a random one.
    OptionSpec seed = bounded("seed", "int", -1, true, INT32_MAX);
    seed.defaultValue = -1;
    OptionSpec sampler = option("sampler", "string");
    sampler.defaultValue = defaultOf(d, "sampler", "string", "euler");
    OptionSpec scheduler = option("scheduler", "string");
    if (d.contains("scheduler")) scheduler.defaultValue = d["scheduler"];
    OptionSpec tiling = option("vae_tiling", "bool");
    tiling.defaultValue = defaultOf(d, "vae_tiling", "bool", video);

    schema.options = {width, height, steps, cfg, seed, sampler, scheduler};
    if (!video) {
        OptionSpec count = bounded("count", "int", 1, true, limitOf(l, "maxCount", 4, kMaxCount));
        count.defaultValue = 1;
        schema.options.push_back(count);
        schema.options.push_back(tiling);
        return schema;
    }
    schema.options.push_back(tiling);
    OptionSpec frames = bounded("frames", "int", 1, true, limitOf(l, "maxFrames", 257, kMaxFrames));
    frames.defaultValue = defaultOf(d, "frames", "int", 49);
    OptionSpec fps = bounded("fps", "int", 1, true, 60);
    fps.defaultValue = defaultOf(d, "fps", "int", 24);
    OptionSpec temporal = option("temporal_tiling", "bool");
    temporal.defaultValue = defaultOf(d, "temporal_tiling", "bool", true);
    schema.options.push_back(frames);
    schema.options.push_back(fps);
    schema.options.push_back(temporal);
    return schema;
}

void MivrelMediaEngine::checkSamplerNames(const nlohmann::json& options) const {
    const SdLibrary& library = SdLibrary::instance();
    SdOptionsPtr probe(isVideo() ? library.fn.vidGenOptCreate() : library.fn.imgGenOptCreate());
    if (!probe) throw std::runtime_error("sd.cpp option create failed");
    std::string sampler = "euler";
    const auto s = options.find("sampler");
    if (s != options.end() && s->is_string()) sampler = s->get<std::string>();
    if (library.fn.optSetString(probe.get(), "sample.method", sampler.c_str()) != 0) {
        throw GenerationInputError("unknown sampler: " + sampler);
    }
    const auto scheduler = options.find("scheduler");
    if (scheduler != options.end() && scheduler->is_string()) {
        const std::string name = scheduler->get<std::string>();
        if (library.fn.optSetString(probe.get(), "sample.scheduler", name.c_str()) != 0) {
            throw GenerationInputError("unknown scheduler: " + name);
        }
    }
}
