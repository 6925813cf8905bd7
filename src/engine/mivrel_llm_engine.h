// MivrelLLMEngine: the engine of chat and text models (familyType "LLM" or
// empty). It keeps one conversation in the context's memory and generates the
// model's reply into it token by token: starts (prompt tokens, prompt with
// images and audio, resume), the token loop with its stop rules, the raw token
// stream, sampling, the thinking budget with the hand-over to a family's
// message assembler, saving and restoring the memory, and label scoring.
//
// Calling order for one chat request: startGeneration (or
// startMediaGeneration, or continueGeneration), setTurnOpen(true),
// setThinkingBudget (every start resets it), then runWithAssembler or
// fetchNextToken / fetchNextRawToken until false, then getGenerationStats.
//
// Thread-safety: REQUIRES external synchronization, except abortGeneration,
// which any thread may call at any time. The engine starts no thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/mivrel_llama_engine.h"

class MivrelLLMEngine : public MivrelLlamaEngine {
public:
    // The hard limit of tokens one start may generate, whatever maxTokens says.
    static constexpr int32_t kHardCap = 32768;
    // Extra tokens an open tool call may take past maxTokens.
    static constexpr int32_t kToolCallGrace = 1024;
    // Whitespace-only pieces the end-of-turn guard lasts at most.
    static constexpr int32_t kGuardPieces = 8;

    MivrelLLMEngine();
    ~MivrelLLMEngine() override;

    // Ends a running generation with "abort". Safe from any thread; never
    // throws. A generation that already stopped keeps its reason.
    void abortGeneration() override;

    // Empties the memory and takes the new settings (the live context keeps
    // its size, batch sizes, cache types and threads); rebuilds the sampler.
    // Without a context it creates one. Throws as initContext.
    void resetContext(const ContextSettings& settings) override;

    bool isTurnOpen() override { return turnOpen_; }
    void setTurnOpen(bool open) override { turnOpen_ = open; }

    // Decodes the tokens after what the memory holds and starts generating.
    // Throws MivrelException (RuntimeFailed no context or a failed decode,
    // NotLoaded no model, BadInput empty/out-of-range tokens or a bad batch
    // size, LimitExceeded too long). A token still handed out from the
    // previous reply is decoded first, in the same batch. Batches decoded
    // before a failed one stay in the memory and in nPast.
    bool startGeneration(const std::vector<int32_t>& promptTokens) override;
    // Starts again from the memory's end. Throws MivrelException RuntimeFailed,
    // NotLoaded, or BadInput when there is nothing to continue.
    bool continueGeneration() override;
    // Decodes text, images and audio (one media marker per entry) and starts
    // generating; returns the number of prompt tokens. Throws MivrelException;
    // a failed evaluation cuts the memory back to where it was.
    int32_t startMediaGeneration(const std::string& prompt, const std::vector<MediaInput>& media,
                                 int32_t maxAudioSeconds) override;

    // One step of the token loop: true with a piece of whole UTF-8 (bytes
    // that can never form a character come out as U+FFFD), false once the
    // generation has stopped. Limits and abort are checked before every
    // sample. The piece's last token enters the memory at the next call
    // (handOutToken); nPast counts it already. The call that finds the
    // generation stopped returns at once and leaves that token handed out:
    // whatever uses the memory next decodes it first (decodeHandedOutToken;
    // the next prompt takes it into its batch).
    bool fetchNextToken(std::string& piece) override;
    // One sampled token without UTF-8 assembly, stop tokens or thinking
    // budget; any end-of-generation token is returned and stops the stream.
    bool fetchNextRawToken(RawToken& token) override;

    GenerationStats getGenerationStats() override;
    // As the base, with a handed-out token counted in usedCells (it is the
    // caller's; stateBytes holds its cell once it is decoded).
    ContextStats getContextStats() override;

    // Sampling (llm_sampling.cpp).
    // Validates and applies the present keys; all or nothing. Throws
    // MivrelException RuntimeFailed without a context, BadInput for a bad object or
    // value.
    void setSamplingOptions(const nlohmann::json& options) override;
    nlohmann::json getSamplingOptions() override;
    void resetSampler() override;
    void loadSamplingDefaults();
    // Frees the old chain and builds one from the current values; nothing
    // without a context.
    void buildSamplerChain();

    // KV state and label scoring (llm_kv_state.cpp).
    uint64_t kvStateSize() override;
    // Throws MivrelException RuntimeFailed without a context, KvSaveFailed when nothing
    // is written.
    std::vector<uint8_t> saveKvState() override;
    // An empty list changes nothing. Throws MivrelException RuntimeFailed, or
    // KvRestoreFailed when the library refuses the bytes.
    void restoreKvState(const std::vector<uint8_t>& state) override;
    // Scores each label from the next-token logits after `prompt` on a
    // scratch use of the memory, then puts the conversation back. When
    // putting it back fails, the memory is left empty, nPast is 0, the turn
    // is closed and the restore failure is thrown.
    ScoreRecord scoreLabels(const std::string& prompt, const std::vector<std::string>& labels) override;

    // Thinking budget and assembler hand-over (llm_thinking_budget.cpp).
    void setThinkingBudget(const ThinkingBudget& budget) override;
    // The piece source handed to the assembler: injected pieces first, then
    // the thinking budget, then fetchNextToken.
    bool nextAssemblerPiece(std::string& piece);
    // Decodes the budget's closeThenAnswer into the memory; false (logged)
    // when that is impossible. `pieces`, when given, receives one piece per
    // decoded token.
    bool injectThoughtClose(std::vector<std::string>* pieces);
    // Runs the whole generation through the assembler, then delivers its
    // blocks; a block's `tokens` is the running count of generated tokens
    // (not pieces) when it was packaged, the last block's the total, so the
    // blocks' counts add up to generatedTokens. Every piece the assembler
    // read is in the memory, or (the last one) still handed out, also when
    // the assembler or a callback throws.
    void runWithAssembler(ModelMessageAssembler& assembler, SnapshotCallback onSnapshot,
                          MessageCallback onMessage) override;

    // Context hooks.
    void adjustContextParams(llama_context_params& params) override;
    void onContextCreated() override;
    void freeContext() override;

    // Read-only views, for the owner and for tests.
    bool generating() const { return stopCode_.load() == kRunning; }
    int32_t maxTokens() const { return maxTokens_; }
    const std::vector<int32_t>& stopTokens() const { return stopTokens_; }
    bool inToolCall() const { return inToolCall_; }
    void setInToolCall(bool value) { inToolCall_ = value; }
    int32_t eogGuard() const { return eogGuard_; }
    llama_sampler* samplerChain() const { return sampler_.get(); }

protected:
    // The stop state is one atomic: kRunning while generating, else the code
    // of the reason it stopped. Only the thread whose exchange leaves
    // kRunning writes the reason, so an abort can neither tear the reason
    // nor replace one that was already recorded.
    enum StopCode : int {
        kIdle = 0,  // never started since the last reset: reason ""
        kRunning,
        kNPredict,
        kHardcap,
        kEot,
        kAbort,
        kDecodeError,
    };
    static const char* stopCodeName(int code);
    // Leaves kRunning for `code`; false when the generation had already
    // stopped (the earlier reason stays).
    bool finishGeneration(StopCode code);
    bool decodeGeneratedToken(llama_token t, const char* logTag);
    // Hands out the last token of a piece: it takes its position now and is
    // decoded on the next pull (or before anything else uses the memory), so
    // the caller receives the piece while that decode runs instead of after
    // it. With no position left it is decoded at once; false when that fails
    // ("decode_error").
    bool handOutToken(llama_token t);
    // Decodes the handed-out token, if any. Every operation that reads or
    // extends the memory calls it first. A failure gives the position back
    // and stops the generation with "decode_error" (when still running);
    // false then.
    bool decodeHandedOutToken();
    // The common part of every start: counters, reason, empty budget.
    void resetGenerationCounters();
    // Which limit, if any, stops the generation now; logs it when it does.
    // `raw` selects the raw stream's rules (no tool-call grace).
    bool limitReached(bool raw);
    // Fills bannedTokens_ once per context and masks them in the logits.
    void applyEogGuard();
    // Samples the next token from the last position's logits.
    int32_t sampleNext();

    LlamaSamplerPtr sampler_;
    float temperature_ = 0.8f;
    int32_t topK_ = 30;
    float topP_ = 0.95f;
    float minP_ = 0.0f;
    int64_t seed_ = -1;
    float repeatPenalty_ = 1.1f;
    int32_t repeatLastN_ = 64;
    int32_t maxTokens_ = 256;

    std::atomic<int> stopCode_{kIdle};
    int32_t generatedTokens_ = 0;
    // End-of-generation tokens that were decoded and skipped in this
    // generation; they count against the limits though not as output.
    int32_t skippedTokens_ = 0;
    int64_t prefillMs_ = 0;
    bool turnOpen_ = false;
    int32_t turnStartPos_ = 0;
    // The handed-out token still to be decoded (counted in nPast_), or -1.
    llama_token undecodedToken_ = -1;

    ThinkingBudget budget_;
    bool inThought_ = false;
    int32_t thoughtStart_ = 0;
    int32_t thinkingTokens_ = 0;
    bool budgetReached_ = false;
    std::string thinkClosedBy_ = "none";
    int32_t eogGuard_ = 0;
    std::vector<int32_t> bannedTokens_;
    std::deque<std::string> injectedPieces_;
    std::string recentText_;
    std::string stopTokenText_;
    std::vector<int32_t> stopTokens_;
    bool inToolCall_ = false;
    int32_t toolGraceUsed_ = 0;
};
