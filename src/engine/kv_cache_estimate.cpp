#include "engine/kv_cache_estimate.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include "engine/format_string.h"

namespace {

bool isInt(const nlohmann::json& v) { return v.is_number_integer(); }

int64_t asInt(const nlohmann::json& v) {
    return v.is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(v.get<uint64_t>(), INT64_MAX))
                                  : v.get<int64_t>();
}

}  // namespace

double cacheTypeBytesPerElement(const std::string& cacheType) {
    if (cacheType == "f32") return 4.0;
    if (cacheType == "q8_0") return 1.0625;
    if (cacheType == "q4_0") return 0.5625;
    if (cacheType == "q4_1") return 0.625;
    if (cacheType == "iq4_nl") return 0.5625;
    if (cacheType == "q5_0") return 0.6875;
    if (cacheType == "q5_1") return 0.75;
    return 2.0;
}

int modelLayerCount(const nlohmann::json& modelProperties) {
    if (!modelProperties.is_object()) return 0;
    auto it = modelProperties.find("n_layer");
    if (it == modelProperties.end() || !isInt(*it)) return 0;
    const int64_t v = asInt(*it);
    return v > INT32_MAX ? INT32_MAX : static_cast<int>(std::max<int64_t>(v, INT32_MIN));
}

nlohmann::json rawModelProperty(const nlohmann::json& modelProperties, const std::string& key) {
    if (!modelProperties.is_object()) return nullptr;
    auto raw = modelProperties.find("raw_properties");
    if (raw == modelProperties.end() || !raw->is_object()) return nullptr;
    auto it = raw->find(key);
    return it == raw->end() ? nlohmann::json() : *it;
}

std::string formatGiB(uint64_t bytes) {
    return formatString("%.2f GiB", static_cast<double>(bytes) / 1073741824.0);
}

uint64_t estimateKvCacheBytes(const nlohmann::json& modelProperties, int nCtx, int nUbatch,
                              const std::string& cacheTypeK, const std::string& cacheTypeV) {
    const int nLayer = modelLayerCount(modelProperties);
    std::string arch;
    if (modelProperties.is_object()) {
        auto it = modelProperties.find("architecture");
        if (it != modelProperties.end() && it->is_string()) arch = it->get<std::string>();
    }
    if (nLayer < 1 || arch.empty() || nCtx < 1) return 0;
    const auto raw = [&](const char* suffix) { return rawModelProperty(modelProperties, arch + "." + suffix); };

    const nlohmann::json headCountKv = raw("attention.head_count_kv");
    const nlohmann::json headCount = raw("attention.head_count");
    const nlohmann::json embedding = raw("embedding_length");
    const nlohmann::json keyLength = raw("attention.key_length");
    const nlohmann::json valueLength = raw("attention.value_length");

    int64_t nHead = 0;
    if (isInt(headCount)) {
        nHead = asInt(headCount);
    } else if (modelProperties.contains("n_head")) {
        nHead = modelProperties["n_head"].get<int64_t>();
    }
    int64_t nEmbd = 0;
    if (isInt(embedding)) {
        nEmbd = asInt(embedding);
    } else if (modelProperties.contains("n_embd")) {
        nEmbd = modelProperties["n_embd"].get<int64_t>();
    }
    const int64_t headDim = nHead < 1 ? 0 : nEmbd / nHead;
    const int64_t keyLen = isInt(keyLength) ? asInt(keyLength) : headDim;
    const int64_t valueLen = isInt(valueLength) ? asInt(valueLength) : headDim;
    if (keyLen < 1 || valueLen < 1) return 0;

    const nlohmann::json swaValue = raw("attention.sliding_window");
    const int64_t swa = isInt(swaValue) ? asInt(swaValue) : 0;
    const nlohmann::json pattern = raw("attention.sliding_window_pattern");
    const nlohmann::json intervalValue = raw("full_attention_interval");
    const int64_t interval = isInt(intervalValue) ? asInt(intervalValue) : 0;
    const double bytesK = cacheTypeBytesPerElement(cacheTypeK);
    const double bytesV = cacheTypeBytesPerElement(cacheTypeV);

    double total = 0;
    for (int i = 0; i < nLayer; ++i) {
        int64_t kvHeads = nHead;
        if (isInt(headCountKv)) {
            kvHeads = asInt(headCountKv);
        } else if (headCountKv.is_array() && headCountKv.size() > static_cast<size_t>(i) &&
                   isInt(headCountKv[static_cast<size_t>(i)])) {
            kvHeads = asInt(headCountKv[static_cast<size_t>(i)]);
        }
        if (kvHeads < 1) continue;
        if (interval >= 1 && (i + 1) % interval != 0) continue;

        bool slidingLayer = false;
        if (swa >= 1) {
            if (pattern.is_array()) {
                slidingLayer = pattern.size() > static_cast<size_t>(i) && pattern[static_cast<size_t>(i)].is_boolean() &&
                               pattern[static_cast<size_t>(i)].get<bool>();
            } else if (isInt(pattern)) {
                const int64_t p = asInt(pattern);
                slidingLayer = p >= 1 && i % p < p - 1;
            }
        }
        int64_t cells = nCtx;
        if (slidingLayer) {
            const int64_t swaCells = nUbatch < 0 ? swa : swa + nUbatch;
            cells = std::min<int64_t>(swaCells, nCtx);
        }
        total += (static_cast<double>(keyLen) * bytesK + static_cast<double>(valueLen) * bytesV) *
                 static_cast<double>(cells) * static_cast<double>(kvHeads);
    }
    return static_cast<uint64_t>(total);
}
