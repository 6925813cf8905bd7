// An instance's settings (its properties.json, kept as `params`) and its
// model's defaults (the model's properties.json, kept as `modelProperties`)
// turned into the engine's load and context settings, and the checks that
// instance creation runs on a request's engine parameters.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "engine/load_settings.h"

// The smallest context an instance gets.
inline constexpr int kMinContextSize = 512;
// The largest seed a client may give; -1 asks for a random one.
inline constexpr int64_t kMaxSeed = 4294967294LL;

// Sets nGpuLayers and placement of `load` and the context, batch, cache,
// flash-attention, KV-offload, prediction, sampling and seed fields of
// `context`; leaves the other fields as they were. Bad values of
// "offload_kv", "flash_attn", the cache types and "seed" are logged at level 2
// and replaced by the default. Values of "n_gpu_layers", "n_ctx", "n_batch"
// and "n_ubatch" are converted to int (a fraction truncated, a bool 0 or 1,
// out-of-range values clamped); any other type throws the JSON library's
// type error. Log lines carry the tag "[mivrelParams]".
void mivrelParams(const nlohmann::json& params, const nlohmann::json& modelProperties, ModelLoadSettings& load,
                  ContextSettings& context);

// True when a creation request's engine parameters may be stored; otherwise
// false with a message that names the setting and the allowed values, ready
// for a 400 "bad_request". A request that is not an object passes.
bool validateMivrelParams(const nlohmann::json& request, std::string& message);

// `requested` raised to 512, then lowered to the model's integer
// "n_ctx_size" when that is above 0 and below it.
int clampContextSize(int requested, const nlohmann::json& modelProperties);

// A copy of modelProperties.genDefaults[key] (null included); null when the
// model has none. Never throws.
nlohmann::json modelGenDefault(const nlohmann::json& modelProperties, const std::string& key);

// The instance's value for `key` when present and not null, else the model's
// genDefaults value when present and not null, else null.
nlohmann::json generationDefault(const ModelLoadSettings& load, const std::string& key);

// The normal form of a "flash_attn" value: true "on", false "off", the texts
// "auto", "on", "off" themselves; false when it has none.
bool flashAttnNormalForm(const nlohmann::json& value, std::string& normal);
