// Thought tracking, the thinking budget's injected close, the end-of-turn
// guard, tool-call tracking and the hand-over to message assemblers, on the
// scripted model.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine_test_util.h"
#include "llm_test_util.h"

namespace {

using namespace llmtest;
using namespace testmodels;

ThinkingBudget qwenBudget(int32_t budget) {
    ThinkingBudget b;
    b.budget = budget;
    b.thinkOpen = "<think>";
    b.thinkClose = "</think>";
    b.closeThenAnswer = "\n</think>\n\n";
    b.toolCallOpen = "<tool_call>";
    b.toolCallClose = "</tool_call>";
    return b;
}

std::vector<std::string> pullPieces(MivrelLLMEngine& engine, size_t limit = 200) {
    std::vector<std::string> pieces;
    std::string piece;
    while (pieces.size() < limit && engine.nextAssemblerPiece(piece)) pieces.push_back(piece);
    return pieces;
}

// A reply's text without its final "<|im_end|>".
std::string replyText(const ScriptedReply& reply) { return reply.text.substr(0, reply.text.size() - 10); }

void start(MivrelLLMEngine& engine, const std::string& ending) {
    engine.startGeneration(engine.tokenizeText(chatPrompt(ending), true, true));
}

TEST(LlmThinkingBudgetTest, ModelClosesItsOwnThought) {
    auto engine = loadedEngine();
    start(*engine, kThoughtReply.promptEnding);
    engine->setThinkingBudget(qwenBudget(100));
    const std::vector<std::string> pieces = pullPieces(*engine);
    EXPECT_EQ(joined(pieces), "<think>\nThinking it over.\n</think>\n\nHello there!");
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.thinkClosedBy, "model");
    EXPECT_EQ(stats.thinkingTokens, 4);  // from <think> to </think>
    EXPECT_FALSE(stats.inThinking);
    EXPECT_TRUE(stats.thinkingTracked);
    EXPECT_EQ(stats.thinkBudget, 100);
}

TEST(LlmThinkingBudgetTest, BudgetInjectsTheCloseAndTheModelAnswers) {
    auto engine = loadedEngine();
    start(*engine, kThoughtReply.promptEnding);
    engine->setThinkingBudget(qwenBudget(2));
    const int32_t promptEnd = engine->nPast();
    LogCapture log;
    const std::vector<std::string> pieces = pullPieces(*engine);
    EXPECT_EQ(pieces, (std::vector<std::string>{"<think>", "\nThinking", " it", "</think>", "Hello", " there!"}));
    EXPECT_TRUE(log.contains("생각 예산 도달(2)"));
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.thinkClosedBy, "budget");
    EXPECT_EQ(stats.thinkingTokens, 2);
    EXPECT_EQ(stats.generatedTokens, 5);
    EXPECT_EQ(stats.stopReason, "eot");
    // "\n</think>\n\n" (three tokens) went into the memory uncounted.
    EXPECT_EQ(engine->nPast(), promptEnd + 5 + 3);
}

TEST(LlmThinkingBudgetTest, ThoughtOpenedByThePromptIsClosedAtTheBudget) {
    auto engine = loadedEngine();
    start(*engine, kEndlessLoop.promptEnding);  // thinks " tick tock" for ever
    ThinkingBudget b = qwenBudget(4);
    b.promptOpensThought = true;
    engine->setThinkingBudget(b);
    EXPECT_TRUE(engine->getGenerationStats().inThinking);
    const std::vector<std::string> pieces = pullPieces(*engine);
    EXPECT_EQ(pieces, (std::vector<std::string>{" tick", " tock", " tick", " tock", "</think>", "Hello", " there!"}));
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.thinkingTokens, 4);
    EXPECT_EQ(stats.thinkClosedBy, "budget");
}

TEST(LlmThinkingBudgetTest, CloseByTokenHandsOutOnePiecePerToken) {
    auto engine = loadedEngine();
    start(*engine, kEndlessLoop.promptEnding);
    ThinkingBudget b;
    b.budget = 2;
    b.thinkOpen = "<|channel|>analysis<|message|>";
    b.thinkClose = "<|end|>";
    b.closeThenAnswer = "<|end|><|start|>assistant<|channel|>final<|message|>";
    b.closeByToken = true;
    b.promptOpensThought = true;
    engine->setThinkingBudget(b);
    std::vector<std::string> expected = {" tick", " tock"};
    for (int32_t t : engine->tokenizeText(b.closeThenAnswer, false, true)) expected.push_back(engine->tokenText(t));
    ASSERT_EQ(expected[2], "<|end|>");
    ASSERT_EQ(expected[3], "<|start|>");
    const std::vector<std::string> pieces = pullPieces(*engine);
    ASSERT_GT(pieces.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(pieces.begin(), pieces.begin() + static_cast<long>(expected.size())), expected);
    // The model would end its turn after "<|message|>"; the guard makes it
    // say something first.
    EXPECT_NE(pieces[expected.size()], "<|im_end|>");
    EXPECT_EQ(engine->getGenerationStats().stopReason, "eot");
}

TEST(LlmThinkingBudgetTest, BudgetIsCappedAndNeedsAllThreeMarkers) {
    auto engine = loadedEngine();
    engine->setSamplingOptions({{"max_tokens", 20}});
    start(*engine, kPlainAnswer.promptEnding);
    engine->setThinkingBudget(qwenBudget(50));
    EXPECT_EQ(engine->getGenerationStats().thinkBudget, 20);
    ThinkingBudget noClose = qwenBudget(50);
    noClose.closeThenAnswer.clear();
    engine->setThinkingBudget(noClose);
    EXPECT_EQ(engine->getGenerationStats().thinkBudget, 0);
    ThinkingBudget untracked;
    untracked.budget = 10;
    engine->setThinkingBudget(untracked);
    EXPECT_FALSE(engine->getGenerationStats().thinkingTracked);
    EXPECT_EQ(engine->getGenerationStats().thinkBudget, 0);
}

TEST(LlmThinkingBudgetTest, InjectionNeedsRoomInTheContext) {
    auto engine = loadedEngine();
    // A prompt that leaves three positions after two thought tokens: exactly
    // the close's three tokens, so no position would remain for the answer.
    const std::vector<int32_t> ending = engine->tokenizeText("x~\n", true, true);
    std::vector<int32_t> prompt(256 - 2 - 3 - ending.size(), 'x');
    prompt.insert(prompt.end(), ending.begin(), ending.end());
    engine->startGeneration(prompt);
    ThinkingBudget b = qwenBudget(2);
    b.promptOpensThought = true;
    engine->setThinkingBudget(b);
    LogCapture log;
    const std::vector<std::string> pieces = pullPieces(*engine);
    EXPECT_TRUE(log.contains("생각 종료 주입 생략 \xE2\x80\x94 n_ctx 부족 (253+3/256)")) << log.text();
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.thinkClosedBy, "none");
    EXPECT_TRUE(stats.inThinking);
    EXPECT_EQ(stats.stopReason, "decode_error");  // the thought went on until the context was full
    for (const std::string& p : pieces) EXPECT_NE(p, "</think>");
}

TEST(LlmThinkingBudgetTest, GuardKeepsTheTurnOpenUntilSomethingIsSaid) {
    struct Case {
        const char* name;
        bool closeAtStart;
        bool guardAtStart;
        const char* closedBy;
    };
    const Case cases[] = {
        {"close at start", true, false, "control"},
        {"continue after tool results", false, true, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = loadedEngine();
        // An unscripted prompt ending: the model would end its turn at once.
        engine->startGeneration(engine->tokenizeText("<|im_start|>assistant", true, true));
        ThinkingBudget b = qwenBudget(0);
        b.closeAtStart = c.closeAtStart;
        b.guardAtStart = c.guardAtStart;
        engine->setThinkingBudget(b);
        EXPECT_EQ(engine->eogGuard(), MivrelLLMEngine::kGuardPieces);
        EXPECT_EQ(engine->getGenerationStats().thinkClosedBy, c.closedBy);
        std::string piece;
        ASSERT_TRUE(engine->nextAssemblerPiece(piece));
        EXPECT_FALSE(piece.empty());
        EXPECT_NE(piece, "<|im_end|>");
    }
}

TEST(LlmThinkingBudgetTest, ToolCallIsTrackedAndFinishesPastMaxTokens) {
    auto engine = loadedEngine();
    engine->setSamplingOptions({{"max_tokens", 2}});
    start(*engine, kToolCall.promptEnding);
    engine->setThinkingBudget(qwenBudget(0));
    const std::vector<std::string> pieces = pullPieces(*engine);
    // The whole call comes out; the limit ends generation right after it.
    EXPECT_EQ(joined(pieces), replyText(kToolCall));
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "n_predict");
    EXPECT_FALSE(stats.inToolCall);
    EXPECT_EQ(stats.toolGraceUsed, 5);
    EXPECT_EQ(stats.generatedTokens, 7);
}

// An assembler that takes a fixed number of pieces, or throws.
class ScriptedAssembler : public ModelMessageAssembler {
public:
    ScriptedAssembler(int take, bool fail) : take_(take), fail_(fail) {}
    std::vector<ModelMessageT> assemble(const PieceSource& next, const SnapshotCallback& onSnapshot) override {
        AssemblingSnapshot snapshot;
        std::string piece;
        std::string text;
        for (int i = 0; i < take_ && next(piece); ++i) {
            text += piece;
            onSnapshot(snapshot);
        }
        if (fail_) throw std::runtime_error("assembler failed");
        return {makeModelMessage(snapshot, "message", text)};
    }
    std::vector<std::string> stopStrings() const override { return {"<|im_end|>", "<|im_start|>", "two words"}; }

private:
    int take_;
    bool fail_;
};

TEST(LlmAssemblerTest, Qwen3AssemblerGetsThoughtAndAnswer) {
    auto engine = loadedEngine();
    start(*engine, kThoughtReply.promptEnding);
    engine->setTurnOpen(true);
    engine->setThinkingBudget(qwenBudget(100));
    std::unique_ptr<ModelMessageAssembler> assembler = createMessageAssembler("qwen3", nullptr);
    std::vector<int32_t> stopTokensSeen;
    int snapshots = 0;
    std::vector<ModelMessageT> blocks;
    LogCapture log;
    engine->runWithAssembler(
        *assembler,
        [&](const AssemblingSnapshot&) {
            ++snapshots;
            stopTokensSeen = engine->stopTokens();
        },
        [&](const ModelMessageT& m) {
            EXPECT_FALSE(engine->generating());  // blocks come after the end
            blocks.push_back(m);
        });
    EXPECT_GT(snapshots, 0);
    EXPECT_EQ(stopTokensSeen, (std::vector<int32_t>{kImEnd, kImStart, kEndOfText}));
    EXPECT_TRUE(engine->stopTokens().empty());
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].metaType, "thought");
    EXPECT_EQ(blocks[1].metaType, "message");
    EXPECT_EQ(blocks[1].content.substr(blocks[1].content.size() - 12), "Hello there!");
    EXPECT_TRUE(log.contains("프레임 완성: metaType=message"));
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "eot");
    EXPECT_EQ(stats.stopTokenText, "<|im_end|>");
}

TEST(LlmAssemblerTest, BlockTokenCountsAddUpToTheGeneratedTokens) {
    // A block counts the tokens it took, not the pieces the assembler pulled:
    // a character over three tokens is one piece, an injected thought close
    // is no generated token, and the final pull that reports the end brings
    // none.
    struct Case {
        const char* name;
        const ScriptedReply* reply;
        int32_t budget;     // 0: none
        int32_t maxTokens;  // 0: the engine's default
        std::vector<uint32_t> blockTokens;  // running counts, as delivered
    };
    const Case cases[] = {
        {"split character", &kSplitUtf8, 0, 0, {6}},
        {"thought and answer", &kThoughtReply, 0, 0, {5, 8}},
        {"close injected at the budget", &kThoughtReply, 2, 0, {3, 5}},
        {"cut by max_tokens", &kEndlessLoop, 0, 5, {5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = loadedEngine();
        if (c.maxTokens > 0) engine->setSamplingOptions({{"max_tokens", c.maxTokens}});
        start(*engine, c.reply->promptEnding);
        engine->setThinkingBudget(qwenBudget(c.budget));
        std::unique_ptr<ModelMessageAssembler> assembler = createMessageAssembler("qwen3", nullptr);
        std::vector<uint32_t> counts;
        engine->runWithAssembler(*assembler, [](const AssemblingSnapshot&) {},
                                 [&](const ModelMessageT& m) { counts.push_back(m.tokens); });
        EXPECT_EQ(counts, c.blockTokens);
        ASSERT_FALSE(counts.empty());
        EXPECT_EQ(static_cast<int32_t>(counts.back()), engine->getGenerationStats().generatedTokens);
        EXPECT_EQ(engine->getContextStats().usedCells, engine->nPast());
    }
}

TEST(LlmAssemblerTest, AssemblerStoppingFirstRecordsEotAndThrowingPassesOn) {
    {
        auto engine = loadedEngine();
        start(*engine, kEndlessLoop.promptEnding);
        ScriptedAssembler assembler(3, false);
        LogCapture log;
        std::vector<ModelMessageT> blocks;
        engine->runWithAssembler(assembler, [](const AssemblingSnapshot&) {},
                                 [&](const ModelMessageT& m) { blocks.push_back(m); });
        EXPECT_TRUE(log.contains("턴 종료 토큰 'two words' 은 이 모델의 단일 토큰이 아님"));
        EXPECT_TRUE(log.contains("어셈블러가 먼저 생성을 멈춤"));
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].content, " tick tock tick");
        const GenerationStats stats = engine->getGenerationStats();
        EXPECT_EQ(stats.stopReason, "eot");
        EXPECT_EQ(stats.stopTokenText, "");
        EXPECT_FALSE(engine->generating());
    }
    {
        auto engine = loadedEngine();
        start(*engine, kEndlessLoop.promptEnding);
        ScriptedAssembler assembler(2, true);
        bool delivered = false;
        EXPECT_THROW(engine->runWithAssembler(assembler, [](const AssemblingSnapshot&) {},
                                              [&](const ModelMessageT&) { delivered = true; }),
                     std::runtime_error);
        EXPECT_FALSE(delivered);
        EXPECT_TRUE(engine->stopTokens().empty());
    }
    {
        auto engine = loadedEngine();
        start(*engine, kPlainAnswer.promptEnding);
        ScriptedAssembler assembler(10, false);
        EXPECT_THROW(engine->runWithAssembler(assembler, [](const AssemblingSnapshot&) {}, MessageCallback()),
                     std::bad_function_call);
    }
}

TEST(LlmAssemblerTest, AbortFromAnotherThreadLetsTheAssemblerFinish) {
    auto engine = loadedEngine();
    start(*engine, kEndlessLoop.promptEnding);
    engine->setThinkingBudget(qwenBudget(0));
    std::unique_ptr<ModelMessageAssembler> assembler = createMessageAssembler("qwen3", nullptr);
    std::atomic<int> snapshots{0};
    std::vector<ModelMessageT> blocks;
    std::thread worker([&] {
        engine->runWithAssembler(
            *assembler, [&](const AssemblingSnapshot&) { ++snapshots; },
            [&](const ModelMessageT& m) { blocks.push_back(m); });
    });
    while (snapshots.load() < 6) std::this_thread::yield();
    engine->abortGeneration();
    worker.join();
    EXPECT_EQ(engine->getGenerationStats().stopReason, "abort");
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks.back().content.rfind(" tick tock", 0), 0u);
}

}  // namespace
