#include "engine/mivrel_params.h"

#include <climits>
#include <cmath>

#include "base/logger.h"
#include "engine/kv_cache_type.h"
#include "engine/mivrel.h"
#include "engine/placement.h"

namespace {

// The JSON library's conversion to int, without its undefined behaviour for
// numbers outside the int range: those are clamped. Non-numbers (null
// included) throw the library's type error.
int jsonToInt(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isnan(d)) return 0;
        if (d >= static_cast<double>(INT_MAX)) return INT_MAX;
        if (d <= static_cast<double>(INT_MIN)) return INT_MIN;
        return static_cast<int>(d);
    }
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        return u > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(u);
    }
    if (value.is_number_integer()) {
        const int64_t i = value.get<int64_t>();
        if (i > INT_MAX) return INT_MAX;
        if (i < INT_MIN) return INT_MIN;
        return static_cast<int>(i);
    }
    return value.get<int>();  // throws type_error 302 for every other type
}

int intSetting(const nlohmann::json& p, const char* key, int fallback) {
    auto it = p.find(key);
    return it == p.end() ? fallback : jsonToInt(*it);
}

// A JSON integer (signed or unsigned) within [low, high].
bool integerInRange(const nlohmann::json& value, int64_t low, int64_t high) {
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        return high >= 0 && u <= static_cast<uint64_t>(high) && (low <= 0 || u >= static_cast<uint64_t>(low));
    }
    if (value.is_number_integer()) {
        const int64_t i = value.get<int64_t>();
        return i >= low && i <= high;
    }
    return false;
}

bool present(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && !it->is_null();
}

// The instance's number, else the model's genDefaults number, else fallback.
double genNumber(const nlohmann::json& p, const nlohmann::json& model, const char* key, double fallback) {
    auto it = p.find(key);
    if (it != p.end() && it->is_number()) return it->get<double>();
    const nlohmann::json fromModel = modelGenDefault(model, key);
    if (fromModel.is_number()) return fromModel.get<double>();
    return fallback;
}

int genInt(const nlohmann::json& p, const nlohmann::json& model, const char* key, int fallback) {
    auto it = p.find(key);
    if (it != p.end() && it->is_number()) return jsonToInt(*it);
    const nlohmann::json fromModel = modelGenDefault(model, key);
    if (fromModel.is_number()) return jsonToInt(fromModel);
    return fallback;
}

}  // namespace

bool flashAttnNormalForm(const nlohmann::json& value, std::string& normal) {
    if (value.is_boolean()) {
        normal = value.get<bool>() ? "on" : "off";
        return true;
    }
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text == "auto" || text == "on" || text == "off") {
            normal = text;
            return true;
        }
    }
    return false;
}

int clampContextSize(int requested, const nlohmann::json& modelProperties) {
    const int v = requested < kMinContextSize ? kMinContextSize : requested;
    if (modelProperties.is_object()) {
        auto it = modelProperties.find("n_ctx_size");
        if (it != modelProperties.end() && it->is_number_integer()) {
            if (it->is_number_unsigned()) {
                const uint64_t c = it->get<uint64_t>();
                if (c > 0 && c < static_cast<uint64_t>(v)) return static_cast<int>(c);
            } else {
                const int64_t c = it->get<int64_t>();
                if (c > 0 && c < v) return static_cast<int>(c);
            }
        }
    }
    return v;
}

nlohmann::json modelGenDefault(const nlohmann::json& modelProperties, const std::string& key) {
    if (!modelProperties.is_object()) return nullptr;
    auto gen = modelProperties.find("genDefaults");
    if (gen == modelProperties.end() || !gen->is_object()) return nullptr;
    auto it = gen->find(key);
    return it == gen->end() ? nlohmann::json() : *it;
}

nlohmann::json generationDefault(const ModelLoadSettings& load, const std::string& key) {
    if (load.params.is_object()) {
        auto it = load.params.find(key);
        if (it != load.params.end() && !it->is_null()) return *it;
    }
    nlohmann::json fromModel = modelGenDefault(load.modelProperties, key);
    return fromModel.is_null() ? nlohmann::json() : fromModel;
}

void mivrelParams(const nlohmann::json& params, const nlohmann::json& modelProperties, ModelLoadSettings& load,
                  ContextSettings& context) {
    const nlohmann::json p = params.is_object() ? params : nlohmann::json::object();

    load.nGpuLayers = intSetting(p, "n_gpu_layers", 20);

    const int requested = intSetting(p, "n_ctx", 4096);
    context.nCtx = clampContextSize(requested, modelProperties);
    if (context.nCtx != requested) {
        logMessage(2, "[mivrelParams] n_ctx %d → %d (모델 n_ctx_size / 최소값 %d 에 맞춤)", requested, context.nCtx,
                   kMinContextSize);
    }
    context.nBatch = intSetting(p, "n_batch", 1024);
    context.nUbatch = intSetting(p, "n_ubatch", 512);

    context.offloadKv = true;
    if (auto it = p.find("offload_kv"); it != p.end()) {
        if (it->is_boolean()) {
            context.offloadKv = it->get<bool>();
        } else {
            logMessage(2, "[mivrelParams] offload_kv 가 bool 이 아님 → true");
        }
    }

    load.placement = effectivePlacement(p, modelProperties);
    if (load.placement == "cpu") {
        if (load.nGpuLayers != 0) {
            logMessage(4, "[mivrelParams] placement=cpu → n_gpu_layers %d 무시 (0)", load.nGpuLayers);
        }
        load.nGpuLayers = 0;
        context.offloadKv = false;
    }

    context.flashAttn.clear();
    if (present(p, "flash_attn")) {
        std::string normal;
        if (flashAttnNormalForm(p["flash_attn"], normal)) {
            context.flashAttn = normal;
        } else {
            logMessage(2, "[mivrelParams] flash_attn 값이 잘못됨(%s) → 엔진 기본값", p["flash_attn"].dump().c_str());
        }
    }

    context.cacheTypeK = "f16";
    context.cacheTypeV = "f16";
    for (const char* key : {"cache_type_k", "cache_type_v"}) {
        if (!present(p, key)) continue;
        const nlohmann::json& value = p[key];
        if (value.is_string() && isKvCacheTypeName(value.get<std::string>())) {
            (std::string(key) == "cache_type_k" ? context.cacheTypeK : context.cacheTypeV) = value.get<std::string>();
        } else {
            logMessage(2, "[mivrelParams] %s 값이 잘못됨(%s) → f16", key, value.dump().c_str());
        }
    }

    if (isQuantizedKvCacheType(context.cacheTypeV) && context.flashAttn == "off") {
        logMessage(2, "[mivrelParams] cache_type_v=%s 는 flash attention 이 필요 → flash_attn off → auto",
                   context.cacheTypeV.c_str());
        context.flashAttn = "auto";
    }

    context.nPredict = genInt(p, modelProperties, "n_predict", 8192);
    context.temperature = static_cast<float>(genNumber(p, modelProperties, "temperature", 0.8));
    context.topK = genInt(p, modelProperties, "top_k", 30);
    context.topP = static_cast<float>(genNumber(p, modelProperties, "top_p", 0.95));
    context.repeatPenalty = static_cast<float>(genNumber(p, modelProperties, "repeat_penalty", 1.1));
    context.repeatLastN = genInt(p, modelProperties, "repeat_last_n", 64);

    context.seed = -1;
    if (present(p, "seed")) {
        const nlohmann::json& seed = p["seed"];
        if (integerInRange(seed, -1, kMaxSeed)) {
            context.seed = seed.is_number_unsigned() ? static_cast<int64_t>(seed.get<uint64_t>()) : seed.get<int64_t>();
        } else {
            logMessage(2, "[mivrelParams] seed 값이 잘못됨(%s) → -1(무작위)", seed.dump().c_str());
        }
    }
}

bool validateMivrelParams(const nlohmann::json& request, std::string& message) {
    if (!request.is_object()) return true;
    if (present(request, "n_ctx") && !integerInRange(request["n_ctx"], kMinContextSize, INT_MAX)) {
        message = "\"n_ctx\" must be an integer >= " + std::to_string(kMinContextSize);
        return false;
    }
    // These are stored as they are and converted to int at every start-up:
    // a value that cannot be converted would keep the instance from loading.
    if (present(request, "n_gpu_layers") && !integerInRange(request["n_gpu_layers"], -1, INT_MAX)) {
        message = "\"n_gpu_layers\" must be an integer >= -1";
        return false;
    }
    for (const char* key : {"n_batch", "n_ubatch"}) {
        if (present(request, key) && !integerInRange(request[key], 1, INT_MAX)) {
            message = "\"" + std::string(key) + "\" must be an integer >= 1";
            return false;
        }
    }
    if (present(request, "offload_kv") && !request["offload_kv"].is_boolean()) {
        message = "\"offload_kv\" must be a boolean";
        return false;
    }
    std::string flash;
    if (present(request, "flash_attn") && !flashAttnNormalForm(request["flash_attn"], flash)) {
        message = "\"flash_attn\" must be \"auto\", \"on\" or \"off\"";
        return false;
    }
    for (const char* key : {"cache_type_k", "cache_type_v"}) {
        if (!present(request, key)) continue;
        const nlohmann::json& value = request[key];
        if (!value.is_string() || !isKvCacheTypeName(value.get<std::string>())) {
            message = "\"" + std::string(key) +
                      "\" must be one of f32, f16, bf16, q8_0, q4_0, q4_1, iq4_nl, q5_0, q5_1";
            return false;
        }
    }
    const std::string cacheV = present(request, "cache_type_v") ? request["cache_type_v"].get<std::string>() : "f16";
    if (isQuantizedKvCacheType(cacheV) && flash == "off") {
        message = "a quantized \"cache_type_v\" requires flash attention (\"flash_attn\" must not be \"off\")";
        return false;
    }
    if (present(request, "seed") && !integerInRange(request["seed"], -1, kMaxSeed)) {
        message = "\"seed\" must be an integer between -1 and " + std::to_string(kMaxSeed);
        return false;
    }
    return true;
}

int Mivrel::resolveThinkBudget(bool explicitGiven, int64_t value) const {
    if (!explicitGiven) {
        const nlohmann::json& params = config.loadSettings.params;
        const nlohmann::json& model = config.loadSettings.modelProperties;
        if (params.is_object() && params.contains("think_budget") && params["think_budget"].is_number_integer()) {
            const nlohmann::json& v = params["think_budget"];
            value = v.is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(v.get<uint64_t>(), INT64_MAX))
                                           : v.get<int64_t>();
        } else {
            const nlohmann::json fromModel = modelGenDefault(model, "think_budget");
            if (!fromModel.is_number_integer()) return 6000;
            value = fromModel.is_number_unsigned()
                        ? static_cast<int64_t>(std::min<uint64_t>(fromModel.get<uint64_t>(), INT64_MAX))
                        : fromModel.get<int64_t>();
        }
    }
    if (value <= 0) return 0;
    if (value > 32768) return 32768;
    return static_cast<int>(value);
}

int Mivrel::maxPredict(int requested) const {
    const int m = requested > 32768 ? 32768 : requested;
    const nlohmann::json& params = config.loadSettings.params;
    if (params.is_object() && params.contains("limits") && params["limits"].is_object()) {
        const nlohmann::json& limits = params["limits"];
        if (limits.contains("maxPredict") && limits["maxPredict"].is_number_integer()) {
            const nlohmann::json& g = limits["maxPredict"];
            const int64_t cap = g.is_number_unsigned()
                                    ? static_cast<int64_t>(std::min<uint64_t>(g.get<uint64_t>(), INT64_MAX))
                                    : g.get<int64_t>();
            return cap < m ? static_cast<int>(std::max<int64_t>(cap, INT_MIN)) : m;
        }
    }
    return m;
}
