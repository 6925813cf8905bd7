// The read-only model views of MivrelLlamaEngine: getModelInfo and
// listTensors.
#include <algorithm>

#include "base/utf8.h"
#include "engine/mivrel_llama_engine.h"
#include "engine/tensor_inspector.h"

namespace {

const char* ropeTypeName(int type) {
    switch (type) {
        case -1: return "none";
        case 0: return "norm";
        case 2: return "neox";
        case 8: return "mrope";
        case 24: return "vision";
        default: return "unknown";
    }
}

const char* vocabTypeName(int type) {
    switch (type) {
        case 0: return "none";
        case 1: return "SPM";
        case 2: return "BPE";
        case 3: return "WPM";
        case 4: return "UGM";
        case 5: return "RWKV";
        default: return "unknown";
    }
}

// Drops bytes from the end until the text is whole UTF-8, so a value the
// buffer cut inside a character ends at the last whole one.
void trimToUtf8(std::string& text) {
    while (!text.empty() && !isValidUtf8(text)) text.pop_back();
}

}  // namespace

ModelInfo MivrelLlamaEngine::getModelInfo() {
    ModelInfo info;
    const llama_model* m = model_.get();
    if (!m) return info;
    info.loaded = true;
    info.nLayer = llama_model_n_layer(m);
    info.nEmbd = llama_model_n_embd(m);
    info.nHead = llama_model_n_head(m);
    info.nHeadKv = llama_model_n_head_kv(m);
    info.nCtxTrain = llama_model_n_ctx_train(m);
    info.nSwa = llama_model_n_swa(m);
    info.ropeType = ropeTypeName(static_cast<int>(llama_model_rope_type(m)));
    info.ropeFreqScaleTrain = llama_model_rope_freq_scale_train(m);
    info.isRecurrent = llama_model_is_recurrent(m);
    info.isHybrid = llama_model_is_hybrid(m);
    info.hasEncoder = llama_model_has_encoder(m);
    info.hasDecoder = llama_model_has_decoder(m);
    info.nParams = llama_model_n_params(m);
    info.sizeBytes = llama_model_size(m);
    info.ftype = std::to_string(static_cast<int>(llama_model_ftype(m)));
    char desc[128] = {0};
    const int32_t descLength = llama_model_desc(m, desc, sizeof(desc));
    if (descLength > 0) info.description = std::string(desc, std::min<size_t>(static_cast<size_t>(descLength), 127));
    info.hasChatTemplate = llama_model_chat_template(m, nullptr) != nullptr;
    if (const llama_vocab* v = llama_model_get_vocab(m)) {
        info.nVocab = llama_vocab_n_tokens(v);
        info.vocabType = vocabTypeName(static_cast<int>(llama_vocab_type(v)));
        info.bosToken = llama_vocab_bos(v);
        info.eosToken = llama_vocab_eos(v);
        info.eotToken = llama_vocab_eot(v);
        info.padToken = llama_vocab_pad(v);
        info.sepToken = llama_vocab_sep(v);
    }
    info.nGpuLayersRequested = loadSettings_.nGpuLayers;

    std::vector<TensorInspectorRecord> records;
    const uint64_t count = tensorInspectorCount(m);
    records.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        TensorInspectorRecord r{};
        if (tensorInspectorInfo(m, i, &r) && r.layer >= 0) records.push_back(r);
    }
    const std::vector<std::string> devices = layerDevices(records, info.nLayer);
    for (size_t i = 0; i < devices.size(); ++i) info.layerPlacement.push_back({static_cast<int32_t>(i), devices[i]});

    const int32_t metaCount = llama_model_meta_count(m);
    std::vector<char> value(1024);
    for (int32_t i = 0; i < metaCount; ++i) {
        char key[256] = {0};
        const int32_t keyLength = llama_model_meta_key_by_index(m, i, key, sizeof(key));
        int32_t valueLength = llama_model_meta_val_str_by_index(m, i, value.data(), value.size());
        if (valueLength >= 0 && static_cast<size_t>(valueLength) >= value.size()) {
            value.resize(static_cast<size_t>(valueLength) + 1);
            valueLength = llama_model_meta_val_str_by_index(m, i, value.data(), value.size());
        }
        if (keyLength <= 0) continue;
        MetadataEntry entry;
        entry.key.assign(key, std::min<size_t>(static_cast<size_t>(keyLength), 255));
        const int64_t take = std::min<int64_t>(static_cast<int64_t>(value.size()) - 1, valueLength);
        if (take >= 1) entry.value.assign(value.data(), static_cast<size_t>(take));
        trimToUtf8(entry.key);
        trimToUtf8(entry.value);
        info.metadata.push_back(std::move(entry));
    }
    return info;
}

std::vector<TensorInfo> MivrelLlamaEngine::listTensors(int32_t layer) {
    std::vector<TensorInfo> out;
    const llama_model* m = model_.get();
    if (!m) return out;
    const uint64_t count = tensorInspectorCount(m);
    for (uint64_t i = 0; i < count; ++i) {
        TensorInspectorRecord r{};
        if (!tensorInspectorInfo(m, i, &r)) continue;
        // Every layer-less tensor answers a negative request.
        if (layer < 0 ? r.layer >= 0 : r.layer != layer) continue;
        TensorInfo t;
        t.name = r.name;
        t.type = r.typeName;
        for (int d = 0; d < 4; ++d) t.shape[d] = static_cast<int64_t>(r.shape[d]);
        t.byteSize = static_cast<int64_t>(r.byteSize);
        t.device = r.deviceKnown ? r.deviceName : "UNKNOWN";
        t.hostAccessible = r.hostAccessible != 0;
        out.push_back(std::move(t));
    }
    return out;
}
