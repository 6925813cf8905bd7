#include "api/init_events.h"

#include <exception>

#include "api/inference_text.h"
#include "base/logger.h"
#include "base/text_util.h"
#include "engine/model_capabilities.h"
#include "net/io_exception.h"

namespace {

bool isMediaFamily(const std::string& family) { return family == "IMAGE" || family == "VIDEO"; }

std::string displayModelName(const MivrelConfig& config) {
    if (!config.modelName.empty()) return config.modelName;
    const size_t slash = config.modelPath.find_last_of("/\\");
    return slash == std::string::npos ? config.modelPath : config.modelPath.substr(slash + 1);
}

bool boolOr(const nlohmann::json& object, const char* key, bool fallback) {
    const auto it = object.find(key);
    return it != object.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

}  // namespace

nlohmann::ordered_json placementOrAuto(const nlohmann::json& defaults, const std::string& key) {
    if (defaults.is_object()) {
        const auto it = defaults.find(key);
        if (it != defaults.end() && (it->is_string() || it->is_object())) return nlohmann::ordered_json(*it);
    }
    return "auto";
}

nlohmann::ordered_json makeInitStartPayload(const Mivrel& mivrel, const std::string& id, const std::string& scope,
                                            const std::string& startedAt) {
    const MivrelConfig& config = mivrel.config;
    const nlohmann::json& params = config.loadSettings.params;
    nlohmann::ordered_json payload = nlohmann::ordered_json::object();
    payload["mivrelId"] = id;
    payload["scope"] = scope;
    if (scope == "model") {
        std::string modelId;
        if (params.is_object() && params.contains("modelId") && params["modelId"].is_string())
            modelId = params["modelId"].get<std::string>();
        payload["modelId"] = modelId;
        payload["model"] = displayModelName(config);
        payload["familyType"] = config.familyType;
        if (isMediaFamily(config.familyType)) {
            const nlohmann::json& properties = config.loadSettings.modelProperties;
            nlohmann::json merged = nlohmann::json::object();
            if (properties.is_object() && properties.contains("loadDefaults") &&
                properties["loadDefaults"].is_object())
                merged = properties["loadDefaults"];
            for (const char* key : {"placement", "weights", "mmap", "flash_attn"}) {
                if (params.is_object() && params.contains(key)) merged[key] = params[key];
            }
            payload["placement"] = placementOrAuto(merged, "placement");
            payload["weights"] = placementOrAuto(merged, "weights");
            payload["mmap"] = boolOr(merged, "mmap", false);
            payload["flash_attn"] = boolOr(merged, "flash_attn", false);
            payload["multimodal"] = multimodalEnabled(params);
            payload["started_at"] = startedAt;
            return payload;
        }
        const ContextSettings& context = config.contextSettings;
        payload["n_ctx"] = context.nCtx;
        payload["placement"] = config.loadSettings.placement;
        payload["n_gpu_layers"] = config.loadSettings.nGpuLayers;
        payload["offload_kv"] = context.offloadKv;
        payload["flash_attn"] = context.flashAttn.empty() ? std::string("default") : context.flashAttn;
        payload["cache_type_k"] = context.cacheTypeK;
        payload["cache_type_v"] = context.cacheTypeV;
        payload["multimodal"] = multimodalEnabled(params);
    } else {
        payload["n_ctx"] = config.contextSettings.nCtx;
    }
    payload["started_at"] = startedAt;
    return payload;
}

nlohmann::ordered_json makeInitDonePayload(Mivrel& mivrel, const std::string& id, const std::string& scope,
                                           int64_t t0) {
    const MivrelConfig& config = mivrel.config;
    nlohmann::ordered_json payload = nlohmann::ordered_json::object();
    payload["mivrelId"] = id;
    payload["scope"] = scope;
    if (isMediaFamily(config.familyType)) {
        bool refImages = false;
        try {
            refImages = supportsRefImages(config.loadSettings.modelProperties, config.loadSettings.params);
        } catch (const std::exception&) {
            refImages = false;  // a malformed model property means no support
        }
        payload["ref_images"] = refImages ? modelLimit(config.loadSettings.params, "maxRefImages", 4) : 0;
    } else if (mivrel.engine) {
        MivrelEngine& engine = *mivrel.engine;
        payload["n_ctx"] = engine.getContextStats().nCtx;
        if (scope == "model") {
            const ModelInfo info = engine.getModelInfo();
            int gpuLayers = 0;
            for (const LayerPlacement& layer : info.layerPlacement) {
                // Host buffers carry names such as "CPU_Mapped" or
                // "CPU_REPACK" besides "CPU"; none of them is a GPU.
                const bool onHost = layer.device.compare(0, 3, "CPU") == 0;
                if (!onHost && layer.device != "UNKNOWN") ++gpuLayers;
            }
            payload["gpu_layers"] = gpuLayers;
            payload["n_layer"] = info.nLayer;
            payload["vision"] = engine.supportsImageInput();
            const nlohmann::json capabilities = engine.getCapabilities();
            if (!capabilities.is_null()) {
                const bool isObject = capabilities.is_object();
                payload["voices"] = isObject && capabilities.contains("voices")
                                        ? nlohmann::ordered_json(capabilities["voices"])
                                        : nlohmann::ordered_json::array();
                payload["voice_clone"] = isObject ? boolOr(capabilities, "voice_clone", false) : false;
                int64_t rate = 0;
                if (isObject && capabilities.contains("sample_rate") && capabilities["sample_rate"].is_number())
                    rate = capabilities["sample_rate"].get<int64_t>();
                payload["sample_rate"] = rate;
            }
        }
    }
    payload["elapsed_ms"] = nowMs() - t0;
    payload["done_at"] = nowIsoTimeMs();
    return payload;
}

InitLoadResult loadWithInitEvents(MivrelClaim& claim, const InitLoadStep& step) {
    InitLoadResult result;
    Mivrel& mivrel = *claim;
    if (mivrel.hasEngine()) return result;

    result.t0 = nowMs();
    if (step.events)
        sendSseEvent(*step.events, "mivrel.init_start",
                     makeInitStartPayload(mivrel, step.mivrelId, "model", nowIsoTimeMs()));
    try {
        claim.ensureEngine();
    } catch (const IOException&) {
        throw;
    } catch (const std::exception& e) {
        result.failed = true;
        result.loadedNow = false;
        result.error = e.what();
        return result;
    }
    // An unclaimed loader (tokenize's auto-load) may have won the race; the
    // engine is there either way.
    result.loadedNow = true;
    if (step.onLoaded) {
        // The engine is in place and claimed; bookkeeping that fails must not
        // leave a half-reported load behind, so it is only logged.
        try {
            step.onLoaded(mivrel);
        } catch (const std::exception& e) {
            logMessage(1, "[POST /v1/%s] load bookkeeping failed: %s", step.mivrelId.c_str(), e.what());
        }
    }
    if (step.events) {
        result.initDone = makeInitDonePayload(mivrel, step.mivrelId, "model", result.t0);
        sendSseEvent(*step.events, "mivrel.init_done", result.initDone);
    }
    return result;
}
