// Option objects of the stand-in: each kind accepts a fixed list of names,
// each with one value type; anything else is refused with a status, which is
// how callers learn that a sampler or scheduler name is not known.
#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>

#include "media/standin/standin_state.h"

namespace {

enum class ValueType { kBool, kInt, kFloat, kString, kTensor, kTensors };

struct OptionRule {
    const char* name;
    ValueType type;
    int64_t min = 0;  // ints: smallest accepted value
    int64_t max = 0;  // ints: largest accepted value (0: no bound)
};

const char* const kModelRoles[] = {"diffusion_model", "model", "vae", "llm", "llm_vision", "clip_l", "clip_g",
                                   "clip_vision", "t5xxl", "audio_vae", "embeddings_connectors", "taesd",
                                   "high_noise_diffusion_model"};

const OptionRule kContextRules[] = {
    {"backend", ValueType::kString},        {"params_backend", ValueType::kString},
    {"max_vram", ValueType::kString},       {"enable_mmap", ValueType::kBool},
    {"flash_attn", ValueType::kBool},       {"diffusion_flash_attn", ValueType::kBool},
    {"n_threads", ValueType::kInt, 1, 1024},
};

const OptionRule kGenerationRules[] = {
    {"prompt", ValueType::kString},
    {"negative_prompt", ValueType::kString},
    {"width", ValueType::kInt, 1, 16384},
    {"height", ValueType::kInt, 1, 16384},
    {"seed", ValueType::kInt, INT64_MIN, 0},
    {"sample.steps", ValueType::kInt, 1, 10000},
    {"sample.method", ValueType::kString},
    {"sample.scheduler", ValueType::kString},
    {"sample.guidance.txt_cfg", ValueType::kFloat},
    {"vae_tiling.enabled", ValueType::kBool},
};

const OptionRule kImageRules[] = {
    {"batch_count", ValueType::kInt, 1, 64},
    {"ref_images", ValueType::kTensors},
};

const OptionRule kVideoRules[] = {
    {"video_frames", ValueType::kInt, 1, 4096},
    {"fps", ValueType::kInt, 1, 1000},
    {"vae_tiling.temporal_tiling", ValueType::kBool},
    {"init_image", ValueType::kTensor},
    {"end_image", ValueType::kTensor},
};

const std::set<std::string> kSamplers = {"euler", "euler_a", "heun", "dpm2", "dpm++2m", "dpm++2mv2", "lcm"};
const std::set<std::string> kSchedulers = {"discrete", "karras", "exponential", "simple", "sgm_uniform"};

const char* kindName(OptionKind kind) {
    switch (kind) {
        case OptionKind::kContext: return "context";
        case OptionKind::kImage: return "image";
        case OptionKind::kVideo: return "video";
    }
    return "?";
}

bool findIn(const OptionRule* rules, size_t count, const std::string& name, OptionRule& found) {
    for (size_t i = 0; i < count; ++i) {
        if (name == rules[i].name) {
            found = rules[i];
            return true;
        }
    }
    return false;
}

bool findRule(OptionKind kind, const std::string& name, OptionRule& found) {
    if (kind == OptionKind::kContext) {
        for (const char* role : kModelRoles) {
            if (name == std::string(role) + "_path") {
                found = OptionRule{"path", ValueType::kString};
                return true;
            }
        }
        return findIn(kContextRules, std::size(kContextRules), name, found);
    }
    if (findIn(kGenerationRules, std::size(kGenerationRules), name, found)) return true;
    if (kind == OptionKind::kImage) return findIn(kImageRules, std::size(kImageRules), name, found);
    return findIn(kVideoRules, std::size(kVideoRules), name, found);
}

// The rule for `name` in `options`, or a failure status with the last error set.
int32_t lookup(const sd_opt* options, const char* name, ValueType type, OptionRule& rule) {
    if (!options || !name) return standinFail(kStandinBadArgument, "null option object or name");
    if (!findRule(options->kind, name, rule)) {
        return standinFail(kStandinUnknownOption,
                           std::string("unknown ") + kindName(options->kind) + " option: " + name);
    }
    if (rule.type != type) return standinFail(kStandinBadArgument, std::string("wrong value type for option ") + name);
    return kStandinOk;
}

}  // namespace

STANDIN_EXPORT sd_opt* sd_ctx_opt_create(void) { return new sd_opt{OptionKind::kContext, {}}; }
STANDIN_EXPORT sd_opt* sd_img_gen_opt_create(void) { return new sd_opt{OptionKind::kImage, {}}; }
STANDIN_EXPORT sd_opt* sd_vid_gen_opt_create(void) { return new sd_opt{OptionKind::kVideo, {}}; }
STANDIN_EXPORT void sd_opt_free(sd_opt* options) { delete options; }

STANDIN_EXPORT int32_t sd_opt_set_bool(sd_opt* options, const char* name, bool value) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kBool, rule)) return status;
    options->values[name] = value;
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_opt_set_int(sd_opt* options, const char* name, int64_t value) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kInt, rule)) return status;
    if (value < rule.min || (rule.max != 0 && value > rule.max)) {
        return standinFail(kStandinBadArgument, std::string("value out of range for option ") + name + ": " +
                                                    std::to_string(value));
    }
    options->values[name] = value;
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_opt_set_float(sd_opt* options, const char* name, double value) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kFloat, rule)) return status;
    options->values[name] = value;
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_opt_set_string(sd_opt* options, const char* name, const char* value) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kString, rule)) return status;
    if (!value) return standinFail(kStandinBadArgument, std::string("null value for option ") + name);
    const std::string text = value;
    if (std::strcmp(name, "sample.method") == 0 && !kSamplers.count(text)) {
        return standinFail(kStandinBadArgument, "unknown sample method: " + text);
    }
    if (std::strcmp(name, "sample.scheduler") == 0 && !kSchedulers.count(text)) {
        return standinFail(kStandinBadArgument, "unknown scheduler: " + text);
    }
    options->values[name] = text;
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_opt_set_tensor(sd_opt* options, const char* name, sd_tensor* tensor) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kTensor, rule)) return status;
    if (!tensor) return standinFail(kStandinBadArgument, std::string("null tensor for option ") + name);
    options->values[name] = std::vector<const sd_tensor*>{tensor};
    return kStandinOk;
}

STANDIN_EXPORT int32_t sd_opt_set_tensors(sd_opt* options, const char* name, sd_tensor* const* tensors,
                                          int64_t count) {
    OptionRule rule;
    if (const int32_t status = lookup(options, name, ValueType::kTensors, rule)) return status;
    if (count < 0 || (count > 0 && !tensors)) return standinFail(kStandinBadArgument, "bad tensor list");
    std::vector<const sd_tensor*> list;
    for (int64_t i = 0; i < count; ++i) {
        if (!tensors[i]) return standinFail(kStandinBadArgument, "null tensor in list");
        list.push_back(tensors[i]);
    }
    options->values[name] = std::move(list);
    return kStandinOk;
}
