// MivrelLLMEngine: saving and restoring the context state, and label scoring
// on a scratch use of the memory that puts the conversation back afterwards.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "base/logger.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"

uint64_t MivrelLLMEngine::kvStateSize() {
    if (!context_) return 0;
    decodeHandedOutToken();
    return llama_state_get_size(context_.get());
}

std::vector<uint8_t> MivrelLLMEngine::saveKvState() {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "no context");
    decodeHandedOutToken();
    const size_t size = llama_state_get_size(context_.get());
    std::vector<uint8_t> buffer(size, 0);
    const size_t written = llama_state_get_data(context_.get(), buffer.data(), size);
    if (written == 0) throw MivrelException(MivrelErrorCode::KvSaveFailed, "failed to save KV cache (written=0)");
    buffer.resize(written, 0);
    logMessage(4, "[MivrelEngine] KV Cache dump: %zu bytes", written);
    return buffer;
}

void MivrelLLMEngine::restoreKvState(const std::vector<uint8_t>& state) {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "no context");
    if (state.empty()) return;
    undecodedToken_ = -1;  // the memory is replaced; the caller sets nPast
    const size_t read = llama_state_set_data(context_.get(), state.data(), state.size());
    if (read == 0) throw MivrelException(MivrelErrorCode::KvRestoreFailed, "failed to restore KV cache (read=0)");
    logMessage(4, "[MivrelEngine] KV Cache load: %zu bytes", read);
}

namespace {

// Tokenizes a label variant with room for 8 tokens; -1 unless it is exactly
// one token.
int32_t singleToken(const llama_vocab* vocab, const std::string& text) {
    llama_token tokens[8];
    const int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens, 8, false, false);
    return n == 1 ? tokens[0] : -1;
}

}  // namespace

ScoreRecord MivrelLLMEngine::scoreLabels(const std::string& prompt, const std::vector<std::string>& labels) {
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (labels.empty()) throw MivrelException(MivrelErrorCode::LimitExceeded, "labels are empty");

    const llama_vocab* v = vocab();
    std::map<int32_t, size_t> owner;
    std::vector<std::vector<int32_t>> labelTokens(labels.size());
    for (size_t i = 0; i < labels.size(); ++i) {
        for (const std::string& variant : {labels[i], " " + labels[i]}) {
            const int32_t t = singleToken(v, variant);
            if (t < 0) continue;
            auto it = owner.find(t);
            if (it != owner.end()) {
                if (it->second == i) continue;
                throw MivrelException(MivrelErrorCode::BadInput, "labels '%s' and '%s' tokenize to the same token (%d)",
                                      labels[it->second].c_str(), labels[i].c_str(), t);
            }
            owner.emplace(t, i);
            labelTokens[i].push_back(t);
        }
        if (labelTokens[i].empty()) {
            throw MivrelException(MivrelErrorCode::BadInput, "label '%s' does not tokenize to a single token", labels[i].c_str());
        }
    }

    std::vector<int32_t> tokens = tokenizePrompt(prompt);
    const int32_t c = static_cast<int32_t>(llama_n_ctx(context_.get()));
    if (tokens.empty() || tokens.size() > static_cast<size_t>(c)) {
        throw MivrelException(MivrelErrorCode::LimitExceeded, "decision prompt token count (%zu) exceeds n_ctx (%d) or is empty", tokens.size(), c);
    }

    const auto start = std::chrono::steady_clock::now();
    decodeHandedOutToken();
    const int32_t savedPast = nPast_;
    std::vector<uint8_t> saved;
    if (nPast_ > 0) saved = saveKvState();
    llama_memory_t memory = llama_get_memory(context_.get());
    // The library's state holds the memory but not the last logits, which a
    // stopped reply resumes from: keep them here and put them back with it.
    std::vector<float> pendingLogits;
    if (nPast_ > 0) {
        if (const float* last = llama_get_logits_ith(context_.get(), -1)) {
            pendingLogits.assign(last, last + llama_vocab_n_tokens(v));
        }
    }

    // Puts the conversation back. When that fails, nothing of it can be
    // trusted: the memory stays empty, nPast 0 and the turn closed, so the
    // next request starts a fresh conversation instead of continuing one the
    // memory no longer holds.
    auto restore = [&]() {
        llama_memory_clear(memory, false);
        try {
            if (!saved.empty()) restoreKvState(saved);
        } catch (...) {
            llama_memory_clear(memory, false);
            nPast_ = 0;
            turnOpen_ = false;
            logMessage(1, "[MivrelEngine] 라벨 판정 후 대화 상태 복원 실패 \xE2\x86\x92 컨텍스트 비움");
            throw;
        }
        nPast_ = savedPast;
        if (!pendingLogits.empty()) {
            if (float* last = llama_get_logits_ith(context_.get(), -1)) {
                std::copy(pendingLogits.begin(), pendingLogits.end(), last);
            }
        }
    };

    llama_memory_clear(memory, false);
    nPast_ = 0;
    ScoreRecord result;
    try {
        const uint32_t nb = llama_n_batch(context_.get());
        const size_t batch = nb < 2 ? 1 : nb;
        for (size_t off = 0; off < tokens.size(); off += batch) {
            const int32_t n = static_cast<int32_t>(std::min(tokens.size() - off, batch));
            const int32_t ret = llama_decode(context_.get(), llama_batch_get_one(tokens.data() + off, n));
            if (ret != 0) throw MivrelException(MivrelErrorCode::RuntimeFailed, "llama_decode failed (decision): ret=%d", ret);
            nPast_ += n;
        }
        const float* logits = llama_get_logits_ith(context_.get(), -1);
        if (!logits) throw MivrelException(MivrelErrorCode::RuntimeFailed, "cannot read decision logits");
        for (const std::vector<int32_t>& ids : labelTokens) {
            double m = -INFINITY;
            for (int32_t t : ids) m = std::max(m, static_cast<double>(logits[t]));
            double sum = 0.0;
            for (int32_t t : ids) sum += std::exp(static_cast<double>(logits[t]) - m);
            result.values.push_back(static_cast<float>(m + std::log(sum)));
        }
    } catch (...) {
        restore();  // a failed restore replaces the first failure
        throw;
    }
    restore();
    result.promptTokens = static_cast<int32_t>(tokens.size());
    logMessage(4, "[MivrelEngine] 라벨 판정: labels=%zu prompt_tokens=%d 대화상태복원=%s (%lld ms)", labels.size(),
               result.promptTokens, saved.empty() ? "없음" : "O",
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count()));
    return result;
}
