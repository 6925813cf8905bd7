// Saving and restoring the context state, and label scoring that leaves the
// conversation exactly as it was (or, when putting it back fails, empty and
// reported).
#include <gtest/gtest.h>

#include "engine/mivrel_exception.h"
#include "engine_test_util.h"
#include "llm_test_util.h"

namespace {

using namespace llmtest;
using namespace testmodels;

// A conversation on the tiny model: a prompt and a few generated tokens.
void chat(MivrelLLMEngine& engine, int tokens) {
    engine.setSamplingOptions({{"seed", 11}, {"max_tokens", tokens}});
    engine.startGeneration(engine.tokenizeText("The weather today is", true, true));
    engine.setTurnOpen(true);
    pullAll(engine);
}

TEST(LlmKvStateTest, StateFunctionsNeedAContext) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    EXPECT_EQ(engine.kvStateSize(), 0u);
    EXPECT_EQ(thrownBy([&] { engine.saveKvState(); }).message, "no context");
    EXPECT_EQ(thrownBy([&] { engine.restoreKvState({1}); }).code, MivrelErrorCode::RuntimeFailed);
    EXPECT_EQ(thrownBy([&] { engine.scoreLabels("x", {"A"}); }).message, "model is not loaded");
    engine.loadModel(kitLoadSettings(kTinyChatFile));
    EXPECT_EQ(thrownBy([&] { engine.scoreLabels("x", {"A"}); }).message, "context is not initialized");
}

TEST(LlmKvStateTest, SavedStateRestoresByteForByte) {
    auto engine = loadedEngine(kTinyChatFile);
    chat(*engine, 6);
    const std::vector<uint8_t> saved = engine->saveKvState();
    EXPECT_EQ(saved.size(), engine->kvStateSize());
    const int32_t past = engine->nPast();

    engine->resetContext(kitContextSettings());
    EXPECT_EQ(engine->getContextStats().usedCells, 0);
    engine->restoreKvState({});  // nothing to restore: no change
    EXPECT_EQ(engine->getContextStats().usedCells, 0);
    engine->restoreKvState(saved);
    EXPECT_EQ(engine->getContextStats().usedCells, past);
    EXPECT_EQ(engine->nPast(), 0);  // the caller restores its position itself
    EXPECT_EQ(engine->saveKvState(), saved);

    EXPECT_EQ(thrownBy([&] { engine->restoreKvState({1, 2, 3}); }).code, MivrelErrorCode::KvRestoreFailed);
}

TEST(LlmKvStateTest, ScoringLeavesTheConversationAndItsContinuationUnchanged) {
    auto scored = loadedEngine(kTinyChatFile);
    auto plain = loadedEngine(kTinyChatFile);
    chat(*scored, 6);
    chat(*plain, 6);
    const std::vector<uint8_t> before = scored->saveKvState();
    const int32_t past = scored->nPast();

    LogCapture log;
    const ScoreRecord score = scored->scoreLabels("Is it sunny? Answer A or B:", {"A", "B", "<think>"});
    EXPECT_TRUE(log.contains("대화상태복원=O")) << log.text();
    ASSERT_EQ(score.values.size(), 3u);
    EXPECT_EQ(score.promptTokens,
              static_cast<int32_t>(scored->tokenizeText("Is it sunny? Answer A or B:", true, true).size()));
    EXPECT_EQ(scored->nPast(), past);
    EXPECT_TRUE(scored->isTurnOpen());
    EXPECT_EQ(scored->saveKvState(), before);

    // The scores are the logits of each label's token after the prompt.
    auto reference = loadedEngine(kTinyChatFile);
    reference->startGeneration(reference->tokenizeText("Is it sunny? Answer A or B:", true, true));
    const float* logits = llama_get_logits_ith(reference->context(), -1);
    EXPECT_FLOAT_EQ(score.values[0], logits['A']);
    EXPECT_FLOAT_EQ(score.values[1], logits['B']);
    EXPECT_FLOAT_EQ(score.values[2], logits[kThinkOpen]);

    // Generation goes on as if nothing had been asked.
    scored->continueGeneration();
    plain->continueGeneration();
    scored->setSamplingOptions({{"seed", 5}, {"max_tokens", 12}});
    plain->setSamplingOptions({{"seed", 5}, {"max_tokens", 12}});
    EXPECT_EQ(joined(pullAll(*scored)), joined(pullAll(*plain)));
}

TEST(LlmKvStateTest, FreshEngineScoresWithoutSaving) {
    auto engine = loadedEngine(kTinyChatFile);
    LogCapture log;
    engine->scoreLabels("Pick:", {"A", "B"});
    EXPECT_TRUE(log.contains("대화상태복원=없음"));
    EXPECT_FALSE(log.contains("KV Cache dump"));
    EXPECT_EQ(engine->nPast(), 0);
    EXPECT_EQ(engine->getContextStats().usedCells, 0);
}

TEST(LlmKvStateTest, LabelAndPromptChecksRunBeforeTheMemoryIsTouched) {
    auto engine = loadedEngine(kTinyChatFile);
    chat(*engine, 4);
    const std::vector<uint8_t> before = engine->saveKvState();
    const int32_t past = engine->nPast();
    struct Case {
        std::string prompt;
        std::vector<std::string> labels;
        MivrelErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"x", {}, MivrelErrorCode::LimitExceeded, "labels are empty"},
        {"x", {"A", "B", "A"}, MivrelErrorCode::BadInput, "labels 'A' and 'A' tokenize to the same token (65)"},
        {"x", {"A", "AB"}, MivrelErrorCode::BadInput, "label 'AB' does not tokenize to a single token"},
        {"x", {" A"}, MivrelErrorCode::BadInput, "label ' A' does not tokenize to a single token"},
        {std::string(300, 'x'), {"A"}, MivrelErrorCode::LimitExceeded, "decision prompt token count (300) exceeds n_ctx (256) or is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const MivrelException e = thrownBy([&] { engine->scoreLabels(c.prompt, c.labels); });
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(engine->nPast(), past);
        EXPECT_EQ(engine->saveKvState(), before);
    }
}

// An engine whose state cannot be put back after scoring.
class BrokenRestoreEngine : public MivrelLLMEngine {
public:
    void restoreKvState(const std::vector<uint8_t>&) override {
        throw MivrelException(MivrelErrorCode::KvRestoreFailed, "failed to restore KV cache (read=0)");
    }
};

TEST(LlmKvStateTest, FailedRestoreEmptiesTheConversationAndReportsIt) {
    quietLlamaLogs();
    BrokenRestoreEngine engine;
    engine.loadModel(kitLoadSettings(kTinyChatFile));
    engine.initContext(kitContextSettings());
    chat(engine, 4);
    ASSERT_GT(engine.nPast(), 0);
    ASSERT_TRUE(engine.isTurnOpen());

    const MivrelException e = thrownBy([&] { engine.scoreLabels("Pick:", {"A", "B"}); });
    EXPECT_EQ(e.code, MivrelErrorCode::KvRestoreFailed);
    EXPECT_EQ(e.message, "failed to restore KV cache (read=0)");
    EXPECT_EQ(engine.nPast(), 0);
    EXPECT_FALSE(engine.isTurnOpen());
    EXPECT_EQ(engine.getContextStats().usedCells, 0);
    // The next conversation starts cleanly.
    engine.startGeneration(engine.tokenizeText("Hello", true, true));
    EXPECT_EQ(engine.nPast(), engine.getContextStats().usedCells);
}

}  // namespace
