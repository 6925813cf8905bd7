#include "engine/kv_cache_type.h"

#include <cstring>

#include "base/logger.h"

const std::vector<std::string>& kvCacheTypeNames() {
    static const std::vector<std::string> names = {"f32", "f16", "bf16", "q8_0", "q4_0",
                                                   "q4_1", "iq4_nl", "q5_0", "q5_1"};
    return names;
}

bool isKvCacheTypeName(const std::string& name) {
    for (const std::string& known : kvCacheTypeNames()) {
        if (known == name) return true;
    }
    return false;
}

bool isQuantizedKvCacheType(const std::string& name) {
    return isKvCacheTypeName(name) && name != "f32" && name != "f16" && name != "bf16";
}

ggml_type cacheTypeFromName(const std::string& name) {
    for (int id = 0; id < GGML_TYPE_COUNT; ++id) {
        const char* typeName = ggml_type_name(static_cast<ggml_type>(id));
        if (typeName && std::strlen(typeName) == name.size() && name == typeName) {
            return static_cast<ggml_type>(id);
        }
    }
    logMessage(2, "[MivrelEngine] 알 수 없는 KV 캐시 타입 '%s' → f16", name.c_str());
    return GGML_TYPE_F16;
}
