// The KV cache element types an instance may ask for, and their ggml ids.
#pragma once

#include <string>
#include <vector>

#include <ggml.h>

// "f32", "f16", "bf16", "q8_0", "q4_0", "q4_1", "iq4_nl", "q5_0", "q5_1", in
// this order. The first three are plain; a quantized V cache needs flash
// attention.
const std::vector<std::string>& kvCacheTypeNames();
// Exact (lower-case) match against the nine names.
bool isKvCacheTypeName(const std::string& name);
// One of the nine names other than "f32", "f16" and "bf16".
bool isQuantizedKvCacheType(const std::string& name);

// The first ggml type whose name equals `name` exactly; looks only at ids
// below GGML_TYPE_COUNT. Unknown names log a level-2 warning and give
// GGML_TYPE_F16.
ggml_type cacheTypeFromName(const std::string& name);
