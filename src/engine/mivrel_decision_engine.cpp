#include "engine/mivrel_decision_engine.h"

#include <chrono>
#include <cmath>
#include <cstdlib>

#include "base/logger.h"
#include "engine/mivrel_exception.h"

namespace {

constexpr char kQuestionMarker[] = "{{ type }} question: ";

// The decimal number at the start of `text` (blanks skipped), or 0 when there
// is none or it does not fit 32 bits: an absurd budget is no budget.
uint64_t leadingUnsigned32(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFull) return 0;
    }
    return value;
}

}  // namespace

MivrelDecisionEngine::~MivrelDecisionEngine() {
    infoLoaded_ = false;
    info_ = DecisionModelInfo();
}

void MivrelDecisionEngine::loadModel(const ModelLoadSettings& settings) {
    const bool hadModel = model_ != nullptr;
    MivrelLlamaEngine::loadModel(settings);
    // The base ignores a second load; the metadata read for the first stays.
    if (hadModel) return;
    infoLoaded_ = false;
    info_ = DecisionModelInfo();
    try {
        info_ = readDecisionInfo(settings.assembler);
        infoLoaded_ = true;
    } catch (...) {
        MivrelLlamaEngine::unloadModel();
        throw;
    }
}

void MivrelDecisionEngine::unloadModel() {
    MivrelLlamaEngine::unloadModel();
    infoLoaded_ = false;
    info_ = DecisionModelInfo();
}

const DecisionModelInfo* MivrelDecisionEngine::getDecisionInfo() { return infoLoaded_ ? &info_ : nullptr; }

DecisionModelInfo MivrelDecisionEngine::readDecisionInfo(const std::string& expectedType) const {
    DecisionModelInfo info;
    const std::string prefix = metaString("general.architecture") + ".decision.";

    info.type = metaString(prefix + "type");
    if (info.type.empty()) throw MivrelException(MivrelErrorCode::LoadFailed, "not a decision model (missing %stype metadata)", prefix.c_str());
    if (info.type != expectedType) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "decision type mismatch: GGUF=%s, assembler=%s", info.type.c_str(),
                              expectedType.c_str());
    }
    if (info.type != "virl") {
        throw MivrelException(MivrelErrorCode::LoadFailed, "unsupported decision type: %s (only virl is supported)", info.type.c_str());
    }

    info.maxHeadTokens = leadingUnsigned32(metaString(prefix + "max_head_tokens"));
    if (info.maxHeadTokens == 0) throw MivrelException(MivrelErrorCode::LoadFailed, "decision model has no valid max_head_tokens");

    const std::string tprefix = prefix + "temperature.";
    const int32_t count = llama_model_meta_count(model_.get());
    for (int32_t i = 0; i < count; ++i) {
        char key[256];
        if (llama_model_meta_key_by_index(model_.get(), i, key, sizeof(key)) < 0) continue;
        const std::string keyText(key);
        if (keyText.compare(0, tprefix.size(), tprefix) != 0) continue;
        char value[64];
        if (llama_model_meta_val_str_by_index(model_.get(), i, value, sizeof(value)) < 0) continue;
        const float t = std::strtof(value, nullptr);
        // NaN and infinity would turn every probability into NaN later.
        if (!(t > 0.0f) || !std::isfinite(t)) {
            throw MivrelException(MivrelErrorCode::LoadFailed, "invalid decision temperature: %s = %s", key, value);
        }
        info.temperatures[keyText.substr(tprefix.size())] = t;
    }

    const llama_vocab* v = vocab();
    info.maskToken = llama_vocab_mask(v);
    info.sepToken = llama_vocab_sep(v);
    if (info.maskToken == -1 || info.sepToken == -1) throw MivrelException(MivrelErrorCode::LoadFailed, "decision model has no mask or sep token");
    info.maskText = tokenText(info.maskToken);
    info.sepText = tokenText(info.sepToken);

    const char* tmpl = llama_model_chat_template(model_.get(), "systemone");
    if (!tmpl) throw MivrelException(MivrelErrorCode::LoadFailed, "decision model has no \"systemone\" template");
    info.templateText = tmpl;

    const size_t at = info.templateText.find(kQuestionMarker);
    if (at == std::string::npos || at == 0) throw MivrelException(MivrelErrorCode::LoadFailed, "CLS prefix not found in systemone template");
    info.clsPrefix = info.templateText.substr(0, at);

    if (info.templateText.find("{% for o in options %}" + info.maskText + " ") == std::string::npos) {
        logMessage(2, "[MivrelEngine] systemone 템플릿 형식이 예상과 다릅니다 \xE2\x80\x94 docs/arch-decision-model.md 5번 재분석 필요");
    }
    logMessage(9, "[MivrelEngine] systemone 템플릿:");
    logMessage(7, "%s", info.templateText.c_str());
    logMessage(4, "[MivrelEngine] 판정 모델: type=%s max_head_tokens=%zu temperatures=%zu cls=%s sep=%s(%d) mask=%s(%d)",
               info.type.c_str(), static_cast<size_t>(info.maxHeadTokens), info.temperatures.size(),
               info.clsPrefix.c_str(), info.sepText.c_str(), info.sepToken, info.maskText.c_str(), info.maskToken);
    info.maxChoiceTokens = 48;
    return info;
}

void MivrelDecisionEngine::adjustContextParams(llama_context_params& params) {
    params.embeddings = true;
    if (params.n_batch > params.n_ubatch) {
        logMessage(2, "[MivrelEngine] 판정 모델: n_batch(%u) > n_ubatch(%u) \xE2\x86\x92 n_batch = n_ubatch", params.n_batch,
                   params.n_ubatch);
        params.n_batch = params.n_ubatch;
    }
    params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_AUTO;
    // One micro-batch per batch, one sequence, and a row per token rather
    // than one pooled row per sequence.
    params.n_ubatch = params.n_batch;
    params.n_seq_max = 1;
    params.pooling_type = LLAMA_POOLING_TYPE_NONE;
}

namespace {

struct BatchOwner {
    explicit BatchOwner(int32_t n) : batch(llama_batch_init(n, 0, 1)) {}
    ~BatchOwner() { llama_batch_free(batch); }
    BatchOwner(const BatchOwner&) = delete;
    BatchOwner& operator=(const BatchOwner&) = delete;
    llama_batch batch;
};

}  // namespace

ScoreRecord MivrelDecisionEngine::scoreMarkers(const std::vector<int32_t>& tokens, const std::vector<int32_t>& markers,
                                               int32_t column) {
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (!infoLoaded_) throw MivrelException(MivrelErrorCode::BadInput, "decision model info is not loaded (scoreMarkers)");
    if (tokens.empty() || markers.empty()) throw MivrelException(MivrelErrorCode::LimitExceeded, "decision tokens or markers are empty");

    const uint32_t nUbatch = llama_n_ubatch(context_.get());
    const uint32_t nBatch = llama_n_batch(context_.get());
    if (tokens.size() > nUbatch || tokens.size() > nBatch) {
        throw MivrelException(MivrelErrorCode::LimitExceeded, "decision prompt token count (%d) exceeds n_ubatch (%d)",
                              static_cast<int>(std::min<size_t>(tokens.size(), 0x7FFFFFFF)), static_cast<int>(nUbatch));
    }
    // Positions past the context (the trained position table) would index
    // past the model's position embeddings.
    const uint32_t nCtx = llama_n_ctx(context_.get());
    if (tokens.size() > nCtx) {
        throw MivrelException(MivrelErrorCode::LimitExceeded, "decision prompt token count (%d) exceeds n_ctx (%d)", static_cast<int>(tokens.size()),
                              static_cast<int>(nCtx));
    }
    const int32_t n = static_cast<int32_t>(tokens.size());
    const int32_t width = llama_model_n_embd_out(model_.get());
    if (column < 0 || column >= width) {
        throw MivrelException(MivrelErrorCode::BadInput, "decision column (%d) is out of output size (%d)", column, width);
    }
    for (int32_t m : markers) {
        if (m < 0 || m >= n) throw MivrelException(MivrelErrorCode::BadInput, "marker position (%d) is out of token range", m);
    }
    // Token ids outside the vocabulary would reach the embedding lookup.
    const int32_t nVocab = llama_vocab_n_tokens(vocab());
    for (int32_t t : tokens) {
        if (t < 0 || t >= nVocab) throw MivrelException(MivrelErrorCode::BadInput, "decision token (%d) is out of vocabulary", t);
    }

    const auto start = std::chrono::steady_clock::now();
    llama_memory_t memory = llama_get_memory(context_.get());
    llama_memory_clear(memory, true);
    nPast_ = 0;

    BatchOwner owner(n);
    llama_batch& batch = owner.batch;
    for (int32_t i = 0; i < n; ++i) {
        batch.token[i] = tokens[static_cast<size_t>(i)];
        batch.pos[i] = i;
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 0;
        batch.logits[i] = 1;
    }
    batch.n_tokens = n;

    ScoreRecord result;
    const int32_t ret = llama_decode(context_.get(), batch);
    if (ret != 0) {
        llama_memory_clear(memory, true);
        throw MivrelException(MivrelErrorCode::RuntimeFailed, "llama_decode failed (decision): ret=%d", ret);
    }
    for (int32_t m : markers) {
        const float* row = llama_get_embeddings_ith(context_.get(), m);
        if (!row) {
            llama_memory_clear(memory, true);
            throw MivrelException(MivrelErrorCode::RuntimeFailed, "cannot read embedding at marker position (%d)", m);
        }
        result.values.push_back(row[column]);
    }
    llama_memory_clear(memory, true);
    result.promptTokens = n;
    logMessage(4, "[MivrelEngine] 마커 판정: tokens=%d markers=%zu column=%d (%lld ms)", n, markers.size(), column,
               static_cast<long long>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                       .count()));
    return result;
}
