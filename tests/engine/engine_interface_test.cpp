#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/engine_factory.h"
#include "engine/format_string.h"
#include "engine/mivrel_decision_engine.h"
#include "engine/mivrel_engine.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"
#include "engine_test_util.h"
#include "prompt/default_message_assembler.h"

namespace {

struct RefusalCase {
    const char* slot;
    std::function<void(MivrelEngine&)> call;
    const char* message;
};

TEST(MivrelEngineTest, RefusedSlotsThrowCode3WithTheirText) {
    FakeEngine engine;
    DefaultMessageAssembler assembler;
    const RefusalCase cases[] = {
        {"tokenizePrompt", [](MivrelEngine& e) { e.tokenizePrompt("x"); },
         "this engine does not support tokenizePrompt"},
        {"tokenizeText", [](MivrelEngine& e) { e.tokenizeText("x", true, true); },
         "this engine does not support tokenizeText"},
        {"resetContext", [](MivrelEngine& e) { e.resetContext(ContextSettings()); },
         "this engine does not support resetContext"},
        {"kvStateSize", [](MivrelEngine& e) { e.kvStateSize(); }, "this engine does not support saving KV state"},
        {"saveKvState", [](MivrelEngine& e) { e.saveKvState(); }, "this engine does not support saving KV state"},
        {"restoreKvState", [](MivrelEngine& e) { e.restoreKvState({1, 2}); },
         "this engine does not support restoring KV state"},
        {"startInputGeneration", [](MivrelEngine& e) { e.startInputGeneration(GenerationInput()); },
         "this engine does not support GenerationInput generation"},
        {"startGeneration", [](MivrelEngine& e) { e.startGeneration({1}); },
         "this engine does not support text generation (startGeneration)"},
        {"continueGeneration", [](MivrelEngine& e) { e.continueGeneration(); },
         "this engine does not support resuming generation"},
        {"setSamplingOptions", [](MivrelEngine& e) { e.setSamplingOptions(nlohmann::json::object()); },
         "this engine does not support sampling options"},
        {"startMediaGeneration", [](MivrelEngine& e) { e.startMediaGeneration("p", {}, 0); },
         "this engine does not support image or audio input"},
        {"fetchNextToken",
         [](MivrelEngine& e) {
             std::string piece;
             e.fetchNextToken(piece);
         },
         "this engine does not support text generation (fetchNextToken)"},
        {"fetchNextRawToken",
         [](MivrelEngine& e) {
             RawToken token;
             e.fetchNextRawToken(token);
         },
         "this engine does not support text generation (fetchNextRawToken)"},
        {"runWithAssembler",
         [&assembler](MivrelEngine& e) { e.runWithAssembler(assembler, nullptr, nullptr); },
         "this engine does not support assembler generation (runWithAssembler)"},
        {"fetchNextEvent",
         [](MivrelEngine& e) {
             GenerationEvent event;
             e.fetchNextEvent(event);
         },
         "this engine does not support fetchNextEvent"},
        {"getInputSchema", [](MivrelEngine& e) { e.getInputSchema(); },
         "this engine does not provide an input schema"},
        {"scoreLabels", [](MivrelEngine& e) { e.scoreLabels("p", {"a"}); },
         "this engine does not support label scoring (scoreLabels)"},
        {"scoreMarkers", [](MivrelEngine& e) { e.scoreMarkers({1}, {0}, 0); },
         "this engine does not support marker scoring (scoreMarkers)"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.slot);
        try {
            c.call(engine);
            FAIL() << "no exception";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.message, c.message);
        }
    }
}

TEST(MivrelEngineTest, NeutralSlotsAnswerWithoutThrowing) {
    FakeEngine engine;
    engine.stats.nCtx = 2048;
    engine.stats.nPast = 17;
    EXPECT_EQ(engine.nPast(), 17);
    EXPECT_EQ(engine.nCtx(), 2048);
    EXPECT_FALSE(engine.isTurnOpen());
    engine.setTurnOpen(true);
    EXPECT_FALSE(engine.isTurnOpen());
    engine.setThinkingBudget(ThinkingBudget());
    engine.resetSampler();
    EXPECT_TRUE(engine.getSamplingOptions().is_null());
    EXPECT_TRUE(engine.getCapabilities().is_null());
    EXPECT_FALSE(engine.supportsImageInput());
    EXPECT_FALSE(engine.supportsAudioInput());
    EXPECT_EQ(engine.getDecisionInfo(), nullptr);
    EXPECT_TRUE(engine.listTensors(0).empty());
    EXPECT_EQ(engine.fileStore, nullptr);

    const GenerationStats stats = engine.getGenerationStats();
    EXPECT_EQ(stats.prefillMs, 0);
    EXPECT_EQ(stats.generatedTokens, 0);
    EXPECT_EQ(stats.thinkingTokens, 0);
    EXPECT_EQ(stats.thinkBudget, 0);
    EXPECT_EQ(stats.turnStartPos, 0);
    EXPECT_EQ(stats.toolGraceUsed, 0);
    EXPECT_FALSE(stats.inThinking);
    EXPECT_FALSE(stats.thinkingTracked);
    EXPECT_FALSE(stats.inToolCall);
    EXPECT_EQ(stats.thinkClosedBy, "none");
    EXPECT_EQ(stats.stopReason, "");
    EXPECT_EQ(stats.stopTokenText, "");
}

TEST(EngineFactoryTest, UnknownFamiliesAreRefusedWithTheGivenValue) {
    for (const char* family : {"llm", "Decision", "LLM ", "TEXT", " IMAGE"}) {
        SCOPED_TRACE(family);
        try {
            createMivrelEngine(family);
            FAIL() << "no exception";
        } catch (const MivrelException& e) {
            EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
            EXPECT_EQ(e.message, std::string("unsupported model familyType: ") + family);
        }
    }
}

TEST(EngineFactoryTest, KnownFamiliesReachTheirRow) {
    // Each family gets its own engine class; rows whose engine is not linked
    // into this build say so with code 5. The empty familyType is the LLM row.
    enum Row { kLlm, kDecision, kNotAvailable };
    const std::pair<const char*, Row> rows[] = {
        {"", kLlm},           {"LLM", kLlm},           {"DECISION", kDecision},
        {"IMAGE", kNotAvailable}, {"VIDEO", kNotAvailable}, {"AUDIO", kNotAvailable},
    };
    for (const auto& [family, row] : rows) {
        SCOPED_TRACE(family);
        if (row == kNotAvailable) {
            try {
                createMivrelEngine(family);
                ADD_FAILURE() << "an engine for a family this build does not have";
            } catch (const MivrelException& e) {
                EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
                EXPECT_EQ(e.message, std::string("engine for familyType ") + family + " is not available in this build");
            }
            continue;
        }
        const std::unique_ptr<MivrelEngine> engine = createMivrelEngine(family);
        ASSERT_NE(engine, nullptr);
        const bool decision = dynamic_cast<MivrelDecisionEngine*>(engine.get()) != nullptr;
        EXPECT_EQ(decision, row == kDecision);
        EXPECT_EQ(dynamic_cast<MivrelLLMEngine*>(engine.get()) != nullptr, row == kLlm);
    }
}

TEST(EngineFactoryTest, TestMakerIsAskedFirstAndNullFallsThrough) {
    const MivrelEngineMaker maker = [](const std::string& family) -> std::unique_ptr<MivrelEngine> {
        if (family == "LLM") return std::make_unique<FakeEngine>();
        return nullptr;
    };
    EXPECT_NE(dynamic_cast<FakeEngine*>(createMivrelEngine("LLM", maker).get()), nullptr);
    EXPECT_THROW(createMivrelEngine("nope", maker), MivrelException);
}

TEST(FormatStringTest, FormatsWholeTextsOfAnyLength) {
    EXPECT_EQ(formatString(nullptr), "");
    EXPECT_EQ(formatString("%d-%s", 7, "x"), "7-x");
    const std::string longText(10000, 'a');
    EXPECT_EQ(formatString("%s", longText.c_str()), longText);
    EXPECT_EQ(formatString("%s%c%s", "a", '\0', "b"), std::string("a\0b", 3));
}

TEST(MivrelExceptionTest, CarriesCodeAndFormattedMessageAndCopies) {
    const MivrelException e(MivrelErrorCode::LimitExceeded, "prompt tokens (%d+%zu) exceed n_ctx (%d)", 10,
                            static_cast<size_t>(5), 12);
    const MivrelException copy = e;
    EXPECT_EQ(copy.code, MivrelErrorCode::LimitExceeded);
    EXPECT_EQ(static_cast<int>(copy.code), 2) << "the classes keep their numbers";
    EXPECT_STREQ(copy.what(), "prompt tokens (10+5) exceed n_ctx (12)");
    const GenerationInputError input("\"parts\" must be an array");
    EXPECT_STREQ(input.what(), "\"parts\" must be an array");
}

TEST(SteadyClockTest, NeverGoesBack) {
    const int64_t a = steadyNowMs();
    const int64_t b = steadyNowMs();
    EXPECT_LE(a, b);
}

}  // namespace

namespace {

TEST(EngineFactoryTest, RegisteredFamiliesAreMadeByTheirMaker) {
    registerMivrelEngineFamily("IMAGE", [] { return std::make_unique<FakeEngine>(); });
    EXPECT_NE(dynamic_cast<FakeEngine*>(createMivrelEngine("IMAGE").get()), nullptr);
    EXPECT_THROW(createMivrelEngine("VIDEO"), MivrelException) << "only the registered family";
    // Only the three outer families can be registered; others keep their rows.
    registerMivrelEngineFamily("LLM", [] { return std::make_unique<FakeEngine>(); });
    EXPECT_NE(dynamic_cast<MivrelLLMEngine*>(createMivrelEngine("LLM").get()), nullptr);
    registerMivrelEngineFamily("IMAGE", {});
    registerMivrelEngineFamily("LLM", {});
    try {
        createMivrelEngine("IMAGE");
        ADD_FAILURE() << "the maker was removed";
    } catch (const MivrelException& e) {
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
    }
}

}  // namespace
