// MivrelLLMEngine: context hooks, starts, the token loop, the raw token
// stream, abort and statistics.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/logger.h"
#include "base/utf8.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"
#include "engine/token_piece.h"

namespace {

int64_t elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

std::string vocabText(const llama_vocab* vocab, int32_t token) {
    const char* text = llama_vocab_get_text(vocab, token);
    return text ? text : "";
}

// Pending bytes handed out when the generation ends before an incomplete
// character could be completed: the tail becomes one U+FFFD.
std::string flushPending(const std::string& pending) {
    return replaceInvalidUtf8(pending);
}

bool onlyWhitespace(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

}  // namespace

MivrelLLMEngine::MivrelLLMEngine() = default;

MivrelLLMEngine::~MivrelLLMEngine() { sampler_.reset(); }

const char* MivrelLLMEngine::stopCodeName(int code) {
    switch (code) {
        case kNPredict: return "n_predict";
        case kHardcap: return "hardcap";
        case kEot: return "eot";
        case kAbort: return "abort";
        case kDecodeError: return "decode_error";
        default: return "";
    }
}

bool MivrelLLMEngine::finishGeneration(StopCode code) {
    int expected = kRunning;
    return stopCode_.compare_exchange_strong(expected, code);
}

void MivrelLLMEngine::abortGeneration() {
    int expected = kRunning;
    stopCode_.compare_exchange_strong(expected, kAbort);
    logMessage(4, "[MivrelEngine] 추론 중단 (abortGeneration)");
}

void MivrelLLMEngine::adjustContextParams(llama_context_params& params) {
    params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
}

void MivrelLLMEngine::onContextCreated() {
    loadSamplingDefaults();
    buildSamplerChain();
}

void MivrelLLMEngine::freeContext() {
    undecodedToken_ = -1;
    sampler_.reset();
    if (context_) {
        generatedTokens_ = 0;
        int expected = kRunning;
        stopCode_.compare_exchange_strong(expected, kIdle);
    }
    turnOpen_ = false;
    bannedTokens_.clear();
    eogGuard_ = 0;
    MivrelLlamaEngine::freeContext();
}

void MivrelLLMEngine::resetContext(const ContextSettings& settings) {
    if (!context_) {
        initContext(settings);
        return;
    }
    const int32_t liveCtx = contextSettings_.nCtx;
    contextSettings_ = settings;
    contextSettings_.nCtx = liveCtx;
    // Dropping the cells empties the memory: nothing reads a cell that is not
    // in use, so zeroing the buffer (tens of milliseconds for a large cache)
    // would only delay the next prompt.
    undecodedToken_ = -1;
    llama_memory_clear(llama_get_memory(context_.get()), false);
    sampler_.reset();
    loadSamplingDefaults();
    buildSamplerChain();
    nPast_ = 0;
    int expected = kRunning;
    stopCode_.compare_exchange_strong(expected, kIdle);
    turnOpen_ = false;
    logMessage(4, "[MivrelEngine] 컨텍스트 리셋 완료");
}

void MivrelLLMEngine::resetGenerationCounters() {
    generatedTokens_ = 0;
    skippedTokens_ = 0;
    stopCode_.store(kIdle);
    prefillMs_ = 0;
    setThinkingBudget(ThinkingBudget());
}

bool MivrelLLMEngine::startGeneration(const std::vector<int32_t>& tokens) {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    if (tokens.empty()) throw MivrelException(MivrelErrorCode::BadInput, "prompt tokens are empty");
    const int32_t c = static_cast<int32_t>(llama_n_ctx(context_.get()));
    if (static_cast<int64_t>(nPast_) + static_cast<int64_t>(tokens.size()) > c) {
        throw MivrelException(MivrelErrorCode::LimitExceeded, "prompt tokens (%d+%zu) exceed n_ctx (%d)", nPast_, tokens.size(), c);
    }
    if (contextSettings_.nCtx > 0 && contextSettings_.nCtx != c) {
        logMessage(2, "[MivrelEngine] 설정 n_ctx(%d) 와 실제 컨텍스트 n_ctx(%d) 불일치", contextSettings_.nCtx, c);
    }
    const int32_t b = contextSettings_.nBatch;
    if (b < 1) throw MivrelException(MivrelErrorCode::BadInput, "invalid n_batch value (%d)", b);
    const int32_t nVocab = llama_vocab_n_tokens(vocab());
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] < 0 || tokens[i] >= nVocab) {
            throw MivrelException(MivrelErrorCode::BadInput, "prompt has an out-of-range token (index=%zu token=%d n_vocab=%d)", i, tokens[i],
                                  nVocab);
        }
    }
    resetGenerationCounters();

    const auto start = std::chrono::steady_clock::now();
    // llama_batch_get_one takes a mutable pointer but does not write through it.
    std::vector<int32_t> work;
    work.reserve(tokens.size() + 1);
    // The last token of the previous reply went out undecoded (its position
    // is counted already): it goes in first, with the prompt, instead of in a
    // decode of its own at the end of that reply.
    if (undecodedToken_ >= 0) {
        work.push_back(undecodedToken_);
        undecodedToken_ = -1;
        --nPast_;
    }
    work.insert(work.end(), tokens.begin(), tokens.end());
    for (size_t off = 0; off < work.size(); off += static_cast<size_t>(b)) {
        const int32_t n = static_cast<int32_t>(std::min(work.size() - off, static_cast<size_t>(b)));
        const int32_t ret = llama_decode(context_.get(), llama_batch_get_one(work.data() + off, n));
        if (ret != 0) throw MivrelException(MivrelErrorCode::RuntimeFailed, "llama_decode failed (prompt): ret=%d", ret);
        nPast_ += n;
    }
    prefillMs_ = elapsedMs(start);
    turnStartPos_ = nPast_;
    stopCode_.store(kRunning);
    logMessage(4, "[MivrelEngine] 추론 시작: prompt_tokens=%d n_past=%d n_ctx=%d", static_cast<int>(tokens.size()),
               nPast_, c);
    return true;
}

bool MivrelLLMEngine::continueGeneration() {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    if (nPast_ < 1) throw MivrelException(MivrelErrorCode::BadInput, "nothing to continue (context is empty)");
    decodeHandedOutToken();
    if (!llama_get_logits_ith(context_.get(), -1)) throw MivrelException(MivrelErrorCode::BadInput, "nothing to continue (no pending logits)");
    resetGenerationCounters();
    turnStartPos_ = nPast_;
    stopCode_.store(kRunning);
    logMessage(4, "[MivrelEngine] 추론 재개(continue): n_past=%d n_ctx=%d", nPast_,
               static_cast<int>(llama_n_ctx(context_.get())));
    return true;
}

int32_t MivrelLLMEngine::sampleNext() { return llama_sampler_sample(sampler_.get(), context_.get(), -1); }

bool MivrelLLMEngine::limitReached(bool raw) {
    // Skipped end tokens took positions too, so they count against the limits.
    const int32_t used = generatedTokens_ + skippedTokens_;
    if (raw) {
        if (maxTokens_ >= 1 && used >= maxTokens_) {
            logMessage(4, "[MivrelEngine] [raw] n_predict 도달: %d", maxTokens_);
            finishGeneration(kNPredict);
            return true;
        }
        if (used >= kHardCap) {
            logMessage(2, "[MivrelEngine] [raw] 생성 하드캡 도달(%d)", kHardCap);
            finishGeneration(kHardcap);
            return true;
        }
        return false;
    }
    if (maxTokens_ > 0 && used >= maxTokens_) {
        if (!inToolCall_ || used >= maxTokens_ + kToolCallGrace) {
            logMessage(4, "[MivrelEngine] n_predict 도달: %d", maxTokens_);
            finishGeneration(kNPredict);
            return true;
        }
        if (toolGraceUsed_ == 0) {
            logMessage(4, "[MivrelEngine] n_predict(%d) 도달했지만 tool 호출 중 \xE2\x86\x92 최대 %d 토큰 더 생성", maxTokens_,
                       kToolCallGrace);
        }
        toolGraceUsed_ = used - maxTokens_ + 1;
    }
    if (used >= kHardCap) {
        logMessage(2, "[MivrelEngine] 생성 하드캡 도달(%d) \xE2\x80\x94 n_predict=%d 였음에도 강제 종료", kHardCap, maxTokens_);
        finishGeneration(kHardcap);
        return true;
    }
    return false;
}

void MivrelLLMEngine::applyEogGuard() {
    const llama_vocab* v = vocab();
    if (bannedTokens_.empty()) {
        const int32_t n = llama_vocab_n_tokens(v);
        for (int32_t i = 0; i < n; ++i) {
            if (llama_vocab_is_eog(v, i)) bannedTokens_.push_back(i);
        }
        for (const char* text : {"<|im_start|>", "<|turn>", "<|start|>"}) {
            llama_token t = 0;
            const int32_t len = static_cast<int32_t>(std::char_traits<char>::length(text));
            if (llama_tokenize(v, text, len, &t, 1, false, true) == 1) bannedTokens_.push_back(t);
        }
    }
    float* logits = llama_get_logits_ith(context_.get(), -1);
    if (!logits) return;
    for (int32_t t : bannedTokens_) logits[t] = -INFINITY;
}

bool MivrelLLMEngine::fetchNextToken(std::string& piece) {
    piece.clear();
    // A generation that has stopped (a limit, an abort) ends here, before
    // the previous piece's token is decoded: that decode would only delay the
    // end of the reply. The token stays handed out; whatever uses the memory
    // next decodes it first (the next prompt takes it into its batch).
    if (!generating() || !context_ || !sampler_ || limitReached(false)) return false;
    // Otherwise it goes into the memory now: the next sample needs it.
    if (!decodeHandedOutToken()) return false;
    const llama_vocab* v = vocab();
    std::string pending;
    for (;;) {
        // Every pass, not only the first: skipped end tokens and parts of one
        // character take passes too, and an abort must end them all.
        if (!generating() || limitReached(false)) {
            if (pending.empty()) return false;
            // Bytes already in the memory are not lost: they go out now and
            // the next call reports the stop.
            piece = flushPending(pending);
            logMessageRaw(4, "%s", piece.c_str());
            return true;
        }
        if (eogGuard_ > 0) applyEogGuard();
        const int32_t t = sampleNext();

        if (std::find(stopTokens_.begin(), stopTokens_.end(), t) != stopTokens_.end()) {
            const std::string text = vocabText(v, t);
            logMessage(9, "\n[MivrelEngine] 턴 종료 토큰(id:%d %s) \xE2\x86\x92 생성 완료 (KV 에 넣지 않음)", t, text.c_str());
            stopTokenText_ = text;
            finishGeneration(kEot);
            break;
        }
        if (llama_vocab_is_eog(v, t)) {
            const int32_t e = llama_vocab_eot(v);
            const std::string text = vocabText(v, t);
            if (e == -1 || t == e || text == "<|return|>" || text == "<|call|>") {
                logMessage(9, "\n[MivrelEngine] EOT 감지(id:%d %s) \xE2\x86\x92 생성 완료", t, text.c_str());
                stopTokenText_ = text;
                finishGeneration(kEot);
                break;
            }
            logMessage(4, "[MivrelEngine] EOG 스킵(id:%d) \xE2\x80\x94 EOT(id:%d)가 아님", t, e);
            if (!decodeGeneratedToken(t, "")) return false;
            ++skippedTokens_;
            continue;
        }

        std::string bytes;
        if (tokenPieceText(v, t, bytes)) pending += bytes;
        else logMessage(1, "[MivrelEngine] 토큰 변환 실패 (ID=%d)", t);

        // Only a tail that the next token can still complete waits; the next
        // sample needs this token in the memory.
        if (incompleteUtf8Tail(pending) > 0) {
            if (!decodeGeneratedToken(t, "")) return false;
            ++generatedTokens_;
            continue;
        }
        if (!handOutToken(t)) return false;
        ++generatedTokens_;

        piece = replaceInvalidUtf8(pending);
        if (eogGuard_ > 0) {
            if (onlyWhitespace(pending)) --eogGuard_;
            else eogGuard_ = 0;
        }
        logMessageRaw(4, "%s", piece.c_str());
        return true;
    }
    // Stopped at an end token: an unfinished character still goes out.
    if (pending.empty()) return false;
    piece = flushPending(pending);
    logMessageRaw(4, "%s", piece.c_str());
    return true;
}

bool MivrelLLMEngine::fetchNextRawToken(RawToken& r) {
    r = RawToken();
    if (!decodeHandedOutToken()) return false;
    if (!generating() || !context_ || !sampler_) return false;
    if (limitReached(true)) return false;
    const llama_vocab* v = vocab();
    const int32_t t = sampleNext();
    r.token = t;
    const bool converted = tokenPieceText(v, t, r.piece);
    if (!converted) r.piece.clear();
    r.isControl = llama_vocab_is_control(v, t);
    r.isEog = llama_vocab_is_eog(v, t);
    if (!converted) logMessage(1, "[MivrelEngine] [raw] 토큰 변환 실패 (ID=%d)", t);
    if (r.isEog) {
        logMessage(9, "[MivrelEngine] [raw] EOG 감지(id:%d) \xE2\x86\x92 생성 완료", t);
        finishGeneration(kEot);
        return true;
    }
    if (!decodeGeneratedToken(t, "[raw] ")) return false;
    ++generatedTokens_;
    return true;
}

ContextStats MivrelLLMEngine::getContextStats() {
    ContextStats stats = MivrelLlamaEngine::getContextStats();
    // The handed-out token is the client's already and takes its position at
    // the next decode: it counts as used. (The state size grows by its cell
    // only once it is decoded.)
    if (context_ && undecodedToken_ >= 0) ++stats.usedCells;
    return stats;
}

GenerationStats MivrelLLMEngine::getGenerationStats() {
    GenerationStats s;
    s.prefillMs = prefillMs_;
    s.generatedTokens = generatedTokens_;
    const int code = stopCode_.load();
    s.stopReason = stopCodeName(code);
    s.thinkingTokens = thinkingTokens_ + (inThought_ ? generatedTokens_ - thoughtStart_ : 0);
    s.inThinking = inThought_;
    s.thinkClosedBy = thinkClosedBy_;
    s.thinkBudget = std::max(0, budget_.budget);
    s.thinkingTracked = !budget_.thinkOpen.empty();
    s.turnStartPos = turnStartPos_;
    s.stopTokenText = code == kEot ? stopTokenText_ : "";
    s.inToolCall = inToolCall_;
    s.toolGraceUsed = toolGraceUsed_;
    return s;
}

// Feeds one sampled token back into the context. A failed decode ends the
// generation with "decode_error"; `logTag` marks the raw stream's lines.
bool MivrelLLMEngine::decodeGeneratedToken(llama_token t, const char* logTag) {
    llama_token one = t;
    const int32_t ret = llama_decode(context_.get(), llama_batch_get_one(&one, 1));
    if (ret != 0) {
        logMessage(1, "[MivrelEngine] %sllama_decode 실패: ret=%d", logTag, ret);
        finishGeneration(kDecodeError);
        return false;
    }
    ++nPast_;
    return true;
}

bool MivrelLLMEngine::handOutToken(llama_token t) {
    // Without a free position the decode fails; it fails now, before the
    // piece goes out, so the caller never receives text the memory lacks.
    if (nPast_ >= static_cast<int32_t>(llama_n_ctx(context_.get()))) return decodeGeneratedToken(t, "");
    undecodedToken_ = t;
    ++nPast_;
    return true;
}

bool MivrelLLMEngine::decodeHandedOutToken() {
    if (undecodedToken_ < 0) return true;
    llama_token one = undecodedToken_;
    undecodedToken_ = -1;
    if (!context_) return false;
    const int32_t ret = llama_decode(context_.get(), llama_batch_get_one(&one, 1));
    if (ret != 0) {
        logMessage(1, "[MivrelEngine] llama_decode 실패: ret=%d", ret);
        --nPast_;
        finishGeneration(kDecodeError);
        return false;
    }
    return true;
}
