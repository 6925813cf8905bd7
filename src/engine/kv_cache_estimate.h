// The size of a model's KV cache, estimated from its properties before the
// model is loaded, for the VRAM pre-check. Pure functions.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Bytes per cache element: f32 4, q8_0 1.0625, q4_0 0.5625, q4_1 0.625,
// iq4_nl 0.5625, q5_0 0.6875, q5_1 0.75; every other name (f16, bf16,
// unknown) 2.
double cacheTypeBytesPerElement(const std::string& cacheType);

// The integer "n_layer" of the properties; 0 when missing or not an integer.
int modelLayerCount(const nlohmann::json& modelProperties);

// modelProperties["raw_properties"][key], or null.
nlohmann::json rawModelProperty(const nlohmann::json& modelProperties, const std::string& key);

// "%.2f GiB" of bytes / 2^30.
std::string formatGiB(uint64_t bytes);

// The bytes of K and V over all layers for `nCtx` cells, honouring per-layer
// KV head counts, sliding-window layers (window + nUbatch cells) and layers
// without a cache. 0 when the properties lack the layer count, the
// architecture or the head sizes. A wrong JSON type of "n_head" or "n_embd"
// throws the JSON library's type error.
uint64_t estimateKvCacheBytes(const nlohmann::json& modelProperties, int nCtx, int nUbatch,
                              const std::string& cacheTypeK, const std::string& cacheTypeV);
