// MivrelLLMEngine: thought tracking with the thinking budget, and the
// hand-over of generated text to a family's message assembler.
#include <algorithm>

#include "base/logger.h"
#include "base/text_util.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"
#include "engine/token_piece.h"

namespace {

constexpr size_t kRecentTextBytes = 128;

// Turns each block's running count of pulls into the running count of
// generated tokens; the last block ends at `total`, so the blocks' counts add
// up to the tokens of the generation.
void countBlockTokens(std::vector<ModelMessageT>& messages, const std::vector<int32_t>& tokensAfterPull,
                      int32_t total) {
    for (ModelMessageT& m : messages) {
        const size_t pulls = std::min<size_t>(m.tokens, tokensAfterPull.size());
        m.tokens = pulls == 0 ? 0 : static_cast<uint32_t>(tokensAfterPull[pulls - 1]);
    }
    if (!messages.empty()) messages.back().tokens = static_cast<uint32_t>(std::max(total, 0));
}

}  // namespace

void MivrelLLMEngine::setThinkingBudget(const ThinkingBudget& b) {
    budget_ = b;
    if (b.thinkOpen.empty() || b.thinkClose.empty() || b.closeThenAnswer.empty()) budget_.budget = 0;
    const int32_t cap = maxTokens_ > 0 ? maxTokens_ : kHardCap;
    budget_.budget = std::min(budget_.budget, cap);

    eogGuard_ = 0;
    inThought_ = !b.thinkOpen.empty() && b.promptOpensThought && !b.closeAtStart;
    thoughtStart_ = generatedTokens_;
    thinkingTokens_ = 0;
    budgetReached_ = false;
    thinkClosedBy_ = "none";
    injectedPieces_.clear();
    recentText_.clear();
    stopTokenText_.clear();
    inToolCall_ = !b.toolCallOpen.empty() && b.resumeInToolCall;
    toolGraceUsed_ = 0;
    if (b.closeAtStart) {
        thinkClosedBy_ = "control";
        eogGuard_ = kGuardPieces;
    }
    if (b.guardAtStart) eogGuard_ = kGuardPieces;
    if (!b.thinkOpen.empty()) {
        logMessage(4, "[MivrelEngine] 생각 예산: budget=%d startsInThink=%d closedAtStart=%d", budget_.budget,
                   inThought_ ? 1 : 0, b.closeAtStart ? 1 : 0);
    }
}

bool MivrelLLMEngine::injectThoughtClose(std::vector<std::string>* pieces) {
    if (!context_) return false;
    if (!decodeHandedOutToken()) return false;
    std::vector<int32_t> tokens;
    try {
        tokens = tokenizeText(budget_.closeThenAnswer, false, true);
    } catch (const MivrelException& e) {
        logMessage(2, "[MivrelEngine] 생각 종료 토큰화 실패: %s", e.what());
        return false;
    }
    if (tokens.empty()) return false;
    const int32_t c = static_cast<int32_t>(llama_n_ctx(context_.get()));
    // One free position must remain for the answer.
    if (static_cast<int64_t>(nPast_) + static_cast<int64_t>(tokens.size()) >= c) {
        logMessage(2, "[MivrelEngine] 생각 종료 주입 생략 \xE2\x80\x94 n_ctx 부족 (%d+%zu/%d)", nPast_, tokens.size(), c);
        return false;
    }
    if (llama_decode(context_.get(), llama_batch_get_one(tokens.data(), static_cast<int32_t>(tokens.size()))) != 0) {
        logMessage(1, "[MivrelEngine] 생각 종료 주입 decode 실패");
        return false;
    }
    nPast_ += static_cast<int32_t>(tokens.size());
    if (pieces) {
        pieces->clear();
        for (int32_t t : tokens) {
            std::string text;
            tokenPieceText(vocab(), t, text);
            pieces->push_back(std::move(text));
        }
    }
    return true;
}

bool MivrelLLMEngine::nextAssemblerPiece(std::string& piece) {
    if (!injectedPieces_.empty()) {
        piece = std::move(injectedPieces_.front());
        injectedPieces_.pop_front();
        return true;
    }
    if (budgetReached_) {
        budgetReached_ = false;
        const bool over =
            (maxTokens_ > 0 && generatedTokens_ >= maxTokens_) || generatedTokens_ >= kHardCap;
        if (generating() && !over) {
            std::vector<std::string> tokenPieces;
            if (injectThoughtClose(budget_.closeByToken ? &tokenPieces : nullptr)) {
                thinkingTokens_ += generatedTokens_ - thoughtStart_;
                inThought_ = false;
                thinkClosedBy_ = "budget";
                eogGuard_ = kGuardPieces;
                logMessage(4, "[MivrelEngine] 생각 예산 도달(%d) \xE2\x86\x92 생각 종료 주입, 답변으로 전환", budget_.budget);
                if (budget_.closeByToken && !tokenPieces.empty()) {
                    piece = tokenPieces.front();
                    for (size_t i = 1; i < tokenPieces.size(); ++i) injectedPieces_.push_back(tokenPieces[i]);
                } else {
                    piece = budget_.thinkClose;
                }
                return true;
            }
        }
    }
    if (!fetchNextToken(piece)) return false;

    if (!budget_.toolCallOpen.empty()) {
        if (piece == budget_.toolCallOpen) inToolCall_ = true;
        else if (piece == budget_.toolCallClose) inToolCall_ = false;
    }
    const std::string& open = budget_.thinkOpen;
    if (open.empty()) return true;
    recentText_ += piece;
    if (recentText_.size() > kRecentTextBytes) recentText_.erase(0, recentText_.size() - kRecentTextBytes);
    const bool opened = piece == open || (piece.size() < open.size() && endsWith(recentText_, open));
    if (!inThought_) {
        if (opened) {
            inThought_ = true;
            thoughtStart_ = generatedTokens_;
        }
        return true;
    }
    if (piece == budget_.thinkClose) {
        thinkingTokens_ += generatedTokens_ - thoughtStart_;
        inThought_ = false;
        thinkClosedBy_ = "model";
    } else if (budget_.budget > 0 && generatedTokens_ - thoughtStart_ >= budget_.budget) {
        budgetReached_ = true;
    }
    return true;
}

void MivrelLLMEngine::runWithAssembler(ModelMessageAssembler& assembler, SnapshotCallback onSnapshot,
                                       MessageCallback onMessage) {
    const std::vector<std::string> strings = assembler.stopStrings();
    stopTokens_.clear();
    if (model_) {
        for (const std::string& s : strings) {
            llama_token tokens[4];
            const int32_t n =
                llama_tokenize(vocab(), s.data(), static_cast<int32_t>(s.size()), tokens, 4, false, true);
            if (n == 1) {
                stopTokens_.push_back(tokens[0]);
            } else {
                logMessage(9, "[MivrelEngine] 턴 종료 토큰 '%s' 은 이 모델의 단일 토큰이 아님 \xE2\x86\x92 무시", s.c_str());
            }
        }
    }
    // Generated tokens after each pull: a block's count is the tokens it took,
    // not the pieces (a character may span several tokens, an injected close
    // is no generated token, the final pull brings none).
    std::vector<int32_t> tokensAfterPull;
    std::vector<ModelMessageT> messages;
    try {
        messages = assembler.assemble(
            [this, &tokensAfterPull](std::string& piece) {
                const bool more = nextAssemblerPiece(piece);
                tokensAfterPull.push_back(generatedTokens_);
                return more;
            },
            onSnapshot);
    } catch (...) {
        stopTokens_.clear();
        throw;
    }
    stopTokens_.clear();
    // The last piece the assembler read may still be handed out: it is the
    // caller's, and reaches the memory before anything else uses it
    // (decodeHandedOutToken), so the reply ends without waiting for it.
    if (generating()) {
        logMessage(2, "[MivrelEngine] 어셈블러가 먼저 생성을 멈춤 \xE2\x86\x92 stop_reason eot 로 기록 (마지막 토큰은 KV 에 남음)");
        stopTokenText_.clear();
        finishGeneration(kEot);
    }
    countBlockTokens(messages, tokensAfterPull, generatedTokens_);
    for (const ModelMessageT& m : messages) {
        logMessage(4, "[MivrelEngine] 프레임 완성: metaType=%s channel=%s tokens=%u", m.metaType.c_str(),
                   m.channel.c_str(), m.tokens);
        onMessage(m);
    }
}
