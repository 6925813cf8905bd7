// Generation of the chat engine on the scripted model: the token loop's stop
// rules, the UTF-8 assembly of pieces, skipped end tokens, limits, starts,
// resumes, the raw stream and image input.
#include <gtest/gtest.h>

#include <functional>

#include "engine/mivrel_exception.h"
#include "prompt/message_assembler.h"
#include "engine_test_util.h"
#include "llm_test_util.h"

namespace {

using namespace llmtest;
using namespace testmodels;

std::vector<int32_t> promptTokens(MivrelLLMEngine& engine, const std::string& ending) {
    return engine.tokenizeText(chatPrompt(ending), engine.nPast() == 0, true);
}

void start(MivrelLLMEngine& engine, const std::string& ending) { engine.startGeneration(promptTokens(engine, ending)); }

// The scripted text of a reply without its end token.
std::string replyText(const ScriptedReply& reply, const char* endText) {
    return reply.text.substr(0, reply.text.size() - std::strlen(endText));
}

TEST(LlmGenerationTest, ScriptedRepliesEndAtTheirEndToken) {
    struct Case {
        const ScriptedReply* reply;
        const char* endText;
        std::string visible;    // the text the loop hands out
        int32_t generated;      // tokens counted
        int32_t decoded;        // tokens added to the memory
    };
    const Case cases[] = {
        {&kThoughtReply, "<|im_end|>", replyText(kThoughtReply, "<|im_end|>"), 8, 8},
        {&kToolCall, "<|im_end|>", replyText(kToolCall, "<|im_end|>"), 7, 7},
        // The euro sign's three byte tokens count as three.
        {&kSplitUtf8, "<|im_end|>", replyText(kSplitUtf8, "<|im_end|>"), 6, 6},
        // "<turn|>" ends generation without ending the turn: decoded, not shown.
        {&kEogSkip, "<|im_end|>", " Skip done.", 2, 3},
        // "<|return|>" ends the turn although it is not the vocabulary's end of turn.
        {&kOssReturnReply, "<|return|>", " Final", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply->name);
        auto engine = loadedEngine();
        start(*engine, c.reply->promptEnding);
        const int32_t promptEnd = engine->nPast();
        const std::vector<std::string> pieces = pullAll(*engine);
        EXPECT_EQ(joined(pieces), c.visible);
        const GenerationStats stats = engine->getGenerationStats();
        EXPECT_EQ(stats.stopReason, "eot");
        EXPECT_EQ(stats.stopTokenText, c.endText);
        EXPECT_EQ(stats.generatedTokens, c.generated);
        EXPECT_EQ(stats.turnStartPos, promptEnd);
        EXPECT_EQ(engine->nPast(), promptEnd + c.decoded);  // the end token itself is not decoded
        EXPECT_FALSE(engine->generating());
        std::string piece = "stale";
        EXPECT_FALSE(engine->fetchNextToken(piece));
        EXPECT_TRUE(piece.empty());
    }
}

TEST(LlmGenerationTest, SplitCharacterComesOutAsOnePiece) {
    auto engine = loadedEngine();
    start(*engine, kSplitUtf8.promptEnding);
    const std::vector<std::string> pieces = pullAll(*engine);
    EXPECT_EQ(pieces, (std::vector<std::string>{"Price:", " 5 ", "\xE2\x82\xAC", " each."}));
}

TEST(LlmGenerationTest, LimitsStopTheLoopIncludingSkippedEndTokens) {
    struct Case {
        const char* name;
        const ScriptedReply* reply;
        int maxTokens;
        const char* reason;
        int32_t generated;
    };
    const Case cases[] = {
        {"loop stops at max_tokens", &kEndlessLoop, 10, "n_predict", 10},
        {"split character cut by max_tokens", &kSplitUtf8, 3, "n_predict", 3},
        // Nothing but skipped end tokens: the limit still applies.
        {"skip loop stops at max_tokens", &kEogLoop, 5, "n_predict", 0},
        // ... and a context that fills ends it with a decode error, not a hang.
        {"skip loop fills the context", &kEogLoop, 256, "decode_error", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = loadedEngine();
        engine->setSamplingOptions({{"max_tokens", c.maxTokens}});
        start(*engine, c.reply->promptEnding);
        const std::vector<std::string> pieces = pullAll(*engine);
        const GenerationStats stats = engine->getGenerationStats();
        EXPECT_EQ(stats.stopReason, c.reason);
        EXPECT_EQ(stats.generatedTokens, c.generated);
        if (c.reply == &kSplitUtf8) {
            // The cut character is not held back for ever: it goes out as U+FFFD.
            EXPECT_EQ(joined(pieces), "Price: 5 \xEF\xBF\xBD");
        }
    }
}

TEST(LlmGenerationTest, OpenToolCallGetsGraceBeyondMaxTokens) {
    auto engine = loadedEngine();
    engine->setSamplingOptions({{"max_tokens", 4}});
    start(*engine, kEndlessLoop.promptEnding);
    engine->setInToolCall(true);
    LogCapture log;
    std::string piece;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(engine->fetchNextToken(piece)) << i;
    EXPECT_EQ(engine->getGenerationStats().toolGraceUsed, 2);
    engine->setInToolCall(false);
    EXPECT_FALSE(engine->fetchNextToken(piece));
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "n_predict");
    EXPECT_EQ(stats.generatedTokens, 6);
    const std::string text = log.text();
    const std::string grace = "n_predict(4) 도달했지만 tool 호출 중";
    ASSERT_NE(text.find(grace), std::string::npos);
    EXPECT_EQ(text.find(grace, text.find(grace) + 1), std::string::npos);  // logged once
}

TEST(LlmGenerationTest, StartChecksRunInOrder) {
    quietLlamaLogs();
    MivrelLLMEngine bare;
    EXPECT_EQ(thrownBy([&] { bare.startGeneration({1}); }).message, "context is not initialized");
    EXPECT_EQ(thrownBy([&] { bare.continueGeneration(); }).code, MivrelErrorCode::RuntimeFailed);

    auto engine = loadedEngine();
    struct Case {
        std::vector<int32_t> tokens;
        MivrelErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {{}, MivrelErrorCode::BadInput, "prompt tokens are empty"},
        {std::vector<int32_t>(257, 'a'), MivrelErrorCode::LimitExceeded, "prompt tokens (0+257) exceed n_ctx (256)"},
        {{'a', kVocabSize}, MivrelErrorCode::BadInput, "prompt has an out-of-range token (index=1 token=308 n_vocab=308)"},
        {{'a', -1}, MivrelErrorCode::BadInput, "prompt has an out-of-range token (index=1 token=-1 n_vocab=308)"},
    };
    for (const Case& c : cases) {
        const MivrelException e = thrownBy([&] { engine->startGeneration(c.tokens); });
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(engine->nPast(), 0);
        EXPECT_FALSE(engine->generating());
    }
    ContextSettings badBatch = kitContextSettings();
    badBatch.nBatch = 0;
    engine->resetContext(badBatch);
    EXPECT_EQ(thrownBy([&] { engine->startGeneration({'a'}); }).message, "invalid n_batch value (0)");

    // Exactly the context size is allowed.
    engine->resetContext(kitContextSettings());
    EXPECT_TRUE(engine->startGeneration(std::vector<int32_t>(256, 'a')));
    EXPECT_EQ(engine->nPast(), 256);
}

TEST(LlmGenerationTest, ConversationContinuesAndResumes) {
    auto engine = loadedEngine();
    EXPECT_EQ(thrownBy([&] { engine->continueGeneration(); }).message, "nothing to continue (context is empty)");

    start(*engine, kEndlessLoop.promptEnding);
    std::string piece;
    ASSERT_TRUE(engine->fetchNextToken(piece));
    ASSERT_TRUE(engine->fetchNextToken(piece));
    engine->abortGeneration();
    EXPECT_FALSE(engine->fetchNextToken(piece));
    EXPECT_EQ(engine->getGenerationStats().stopReason, "abort");
    const int32_t past = engine->nPast();

    // Resuming picks up the loop where the memory ends.
    engine->continueGeneration();
    EXPECT_EQ(engine->getGenerationStats().turnStartPos, past);
    EXPECT_EQ(engine->getGenerationStats().stopReason, "");
    ASSERT_TRUE(engine->fetchNextToken(piece));
    EXPECT_EQ(piece, " tick");
    engine->abortGeneration();

    // A second turn is appended after the first.
    const std::vector<int32_t> next = engine->tokenizeText("<|im_end|>\n<|im_start|>user\nMore<|im_end|>\n"
                                                           "<|im_start|>assistant\n",
                                                           false, true);
    const int32_t before = engine->nPast();
    engine->startGeneration(next);
    EXPECT_EQ(engine->nPast(), before + static_cast<int32_t>(next.size()));
    EXPECT_EQ(joined(pullAll(*engine)), replyText(kThoughtReply, "<|im_end|>"));

    // After an end token the pending logits still lead to it.
    engine->continueGeneration();
    EXPECT_FALSE(engine->fetchNextToken(piece));
    EXPECT_EQ(engine->getGenerationStats().stopReason, "eot");

    engine->resetContext(kitContextSettings());
    EXPECT_EQ(engine->nPast(), 0);
    EXPECT_FALSE(engine->isTurnOpen());
    EXPECT_EQ(thrownBy([&] { engine->continueGeneration(); }).message, "nothing to continue (context is empty)");
}

// Positions the memory holds, as the library reports them (the engine's own
// figure also counts a token still handed out).
int64_t cellsInMemory(MivrelLLMEngine& engine) {
    return llama_memory_seq_pos_max(llama_get_memory(engine.context()), 0) + 1;
}

TEST(LlmGenerationTest, HandedOutTokenReachesTheMemoryBeforeAnythingUsesIt) {
    // A piece goes out before its token is decoded (the decode runs on the
    // next pull). A generation that stops leaves that token handed out, so
    // the reply ends without waiting for its decode; whatever uses the memory
    // next decodes it first, at the position nPast already counted, and the
    // context's figures count it all along.
    struct Case {
        const char* name;
        std::function<void(MivrelLLMEngine&)> next;
        bool leavesItHandedOut;
    };
    const Case cases[] = {
        {"the pull that meets max_tokens", [](MivrelLLMEngine& e) { EXPECT_TRUE(pullAll(e).empty()); }, true},
        {"an abort and a pull",
         [](MivrelLLMEngine& e) {
             e.abortGeneration();
             std::string piece;
             EXPECT_FALSE(e.fetchNextToken(piece));
         },
         true},
        {"resuming", [](MivrelLLMEngine& e) { e.continueGeneration(); }, false},
        {"saving the state", [](MivrelLLMEngine& e) { EXPECT_FALSE(e.saveKvState().empty()); }, false},
        {"scoring labels", [](MivrelLLMEngine& e) { e.scoreLabels("Pick: ", {"A", "B"}); }, false},
        {"the next turn",
         [](MivrelLLMEngine& e) {
             e.abortGeneration();
             const int32_t before = e.nPast();
             e.startGeneration({'o', 'k'});
             EXPECT_EQ(e.nPast(), before + 2);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto engine = loadedEngine();
        engine->setSamplingOptions({{"max_tokens", 3}});
        start(*engine, kEndlessLoop.promptEnding);
        const int32_t promptEnd = engine->nPast();
        std::string piece;
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(engine->fetchNextToken(piece));
        EXPECT_EQ(engine->nPast(), promptEnd + 3);
        EXPECT_EQ(engine->getGenerationStats().generatedTokens, 3);
        EXPECT_EQ(cellsInMemory(*engine), promptEnd + 2);  // the third is still being handed out
        EXPECT_EQ(engine->getContextStats().usedCells, promptEnd + 3);
        c.next(*engine);
        EXPECT_EQ(engine->getContextStats().usedCells, engine->nPast());
        if (c.leavesItHandedOut) {
            EXPECT_EQ(cellsInMemory(*engine), engine->nPast() - 1);
            engine->startGeneration({'o', 'k'});
        }
        EXPECT_EQ(cellsInMemory(*engine), engine->nPast());
        EXPECT_GE(engine->nPast(), promptEnd + 3);
    }
}

TEST(LlmGenerationTest, LastTokenOfAReplyEntersTheNextPromptExactlyOnce) {
    // A reply cut by max_tokens ends without decoding its last token; the
    // next turn's prompt decodes it in its own batch. On the random model
    // every token depends on all before it, so the next reply is the one an
    // engine gives that decoded the token on its own before the next turn
    // (as saving the state does): the memory holds the token once, in place.
    const nlohmann::json greedy = {{"temperature", 0.0}, {"top_k", 1}, {"max_tokens", 12}};
    std::vector<std::string> replies[2];
    std::string firstReplies[2];
    int32_t pasts[2] = {0, 0};
    for (int deferred = 0; deferred < 2; ++deferred) {
        SCOPED_TRACE(deferred ? "decoded with the next prompt" : "decoded on its own");
        auto engine = loadedEngine(kTinyChatFile);
        engine->setSamplingOptions(greedy);
        engine->startGeneration(engine->tokenizeText("Once upon a time", true, true));
        std::unique_ptr<ModelMessageAssembler> assembler = createMessageAssembler("default", nullptr);
        std::string text;
        engine->runWithAssembler(
            *assembler, [&](const AssemblingSnapshot& s) { text += s.lastPiece; }, [](const ModelMessageT&) {});
        firstReplies[deferred] = text;
        ASSERT_EQ(engine->getGenerationStats().stopReason, "n_predict");
        // The reply is over; its last token is the caller's but not decoded.
        EXPECT_EQ(cellsInMemory(*engine), engine->nPast() - 1);
        EXPECT_EQ(engine->getContextStats().usedCells, engine->nPast());
        if (!deferred) {
            engine->saveKvState();
            EXPECT_EQ(cellsInMemory(*engine), engine->nPast());
        }
        const std::vector<int32_t> next = engine->tokenizeText(" and then", false, true);
        const int32_t before = engine->nPast();
        engine->startGeneration(next);
        EXPECT_EQ(engine->nPast(), before + static_cast<int32_t>(next.size()));
        EXPECT_EQ(cellsInMemory(*engine), engine->nPast());
        replies[deferred] = pullAll(*engine);
        pasts[deferred] = engine->nPast();
    }
    ASSERT_FALSE(firstReplies[0].empty());
    EXPECT_EQ(firstReplies[1], firstReplies[0]);
    ASSERT_FALSE(replies[0].empty());
    EXPECT_EQ(joined(replies[1]), joined(replies[0]));
    EXPECT_EQ(pasts[1], pasts[0]);
}

TEST(LlmGenerationTest, FullContextEndsWithoutHandingOutWhatCannotBeDecoded) {
    // The token that finds no free position fails before it goes out: the
    // caller's text and the memory end at the same token.
    auto engine = loadedEngine();
    engine->setSamplingOptions({{"max_tokens", 256}});
    start(*engine, kEndlessLoop.promptEnding);
    const int32_t promptEnd = engine->nPast();
    const std::vector<std::string> pieces = pullAll(*engine);
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "decode_error");
    EXPECT_EQ(static_cast<int32_t>(pieces.size()), 256 - promptEnd);
    EXPECT_EQ(stats.generatedTokens, 256 - promptEnd);
    EXPECT_EQ(engine->nPast(), 256);
    EXPECT_EQ(cellsInMemory(*engine), 256);
}

TEST(LlmGenerationTest, GreedyReplyIsTheSameWhetherCutOrWhole) {
    // On the random model every token depends on all before it, so a memory
    // that lost, doubled or reordered a token changes the text that follows;
    // and a reset that only drops cells must leave nothing of the old
    // conversation behind.
    const nlohmann::json greedy = {{"temperature", 0.0}, {"top_k", 1}, {"max_tokens", 24}};
    auto whole = loadedEngine(kTinyChatFile);
    whole->setSamplingOptions(greedy);
    whole->startGeneration(whole->tokenizeText("Once upon a time", true, true));
    const std::string expected = joined(pullAll(*whole));
    ASSERT_FALSE(expected.empty());

    auto cut = loadedEngine(kTinyChatFile);
    cut->setSamplingOptions(greedy);
    cut->startGeneration(cut->tokenizeText("A different story first", true, true));
    pullAll(*cut);
    cut->resetContext(kitContextSettings());
    cut->setSamplingOptions(greedy);
    cut->startGeneration(cut->tokenizeText("Once upon a time", true, true));
    std::string text;
    std::string piece;
    for (int i = 0; i < 10 && cut->fetchNextToken(piece); ++i) text += piece;
    cut->abortGeneration();
    cut->continueGeneration();
    text += joined(pullAll(*cut));
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

TEST(LlmGenerationTest, AbortKeepsAnEarlierStopAndIdleAbortChangesNothing) {
    auto engine = loadedEngine();
    LogCapture log;
    engine->abortGeneration();
    EXPECT_TRUE(log.contains("추론 중단 (abortGeneration)"));
    EXPECT_EQ(engine->getGenerationStats().stopReason, "");

    start(*engine, kPlainAnswer.promptEnding);
    pullAll(*engine);
    engine->abortGeneration();
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "eot");
    EXPECT_EQ(stats.stopTokenText, "<|im_end|>");
}

TEST(LlmGenerationTest, AbortFromAnotherThreadEndsAnEndlessReply) {
    auto engine = loadedEngine();
    start(*engine, kEndlessLoop.promptEnding);
    std::atomic<int> pulled{0};
    std::thread worker([&] {
        std::string piece;
        while (engine->fetchNextToken(piece)) ++pulled;
    });
    while (pulled.load() < 5) std::this_thread::yield();
    engine->abortGeneration();
    worker.join();
    const GenerationStats stats = engine->getGenerationStats();
    EXPECT_EQ(stats.stopReason, "abort");
    EXPECT_EQ(stats.generatedTokens, pulled.load());
}

TEST(LlmGenerationTest, AbortRacingTheEndOfAReplyNeverReplacesItsReason) {
    // Whoever ends the generation first writes the reason; the other changes
    // nothing.
    for (int round = 0; round < 20; ++round) {
        auto engine = loadedEngine();
        start(*engine, kPlainAnswer.promptEnding);
        std::thread aborter([&] { engine->abortGeneration(); });
        const std::vector<std::string> pieces = pullAll(*engine);
        aborter.join();
        const GenerationStats stats = engine->getGenerationStats();
        if (stats.stopReason == "eot") {
            EXPECT_EQ(joined(pieces), "Hello there!");
        } else {
            EXPECT_EQ(stats.stopReason, "abort");
            EXPECT_TRUE(stats.stopTokenText.empty());
        }
    }
}

TEST(LlmGenerationTest, RawStreamReturnsTheEndTokenAndStops) {
    struct Case {
        const ScriptedReply* reply;
        std::vector<int32_t> tokens;
    };
    const Case cases[] = {
        {&kThoughtReply, kThoughtReply.tokens},
        // Any end-of-generation token stops the raw stream.
        {&kEogSkip, {305, kGemmaTurnClose}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply->name);
        auto engine = loadedEngine();
        start(*engine, c.reply->promptEnding);
        const int32_t promptEnd = engine->nPast();
        std::vector<int32_t> got;
        RawToken raw;
        while (engine->fetchNextRawToken(raw)) got.push_back(raw.token);
        EXPECT_EQ(got, c.tokens);
        EXPECT_EQ(raw.token, 0);  // reset by the failing call
        EXPECT_EQ(engine->getGenerationStats().stopReason, "eot");
        EXPECT_EQ(engine->nPast(), promptEnd + static_cast<int32_t>(c.tokens.size()) - 1);
    }
    auto engine = loadedEngine();
    start(*engine, kThoughtReply.promptEnding);
    RawToken raw;
    ASSERT_TRUE(engine->fetchNextRawToken(raw));
    EXPECT_EQ(raw.piece, "<think>");
    EXPECT_FALSE(raw.isControl);
    EXPECT_FALSE(raw.isEog);
    while (engine->fetchNextRawToken(raw) && !raw.isEog) {
    }
    EXPECT_TRUE(raw.isEog);
    EXPECT_TRUE(raw.isControl);
    EXPECT_EQ(raw.piece, "<|im_end|>");

    engine->resetContext(kitContextSettings());
    engine->setSamplingOptions({{"max_tokens", 3}});
    start(*engine, kEndlessLoop.promptEnding);
    int count = 0;
    while (engine->fetchNextRawToken(raw)) ++count;
    EXPECT_EQ(count, 3);
    EXPECT_EQ(engine->getGenerationStats().stopReason, "n_predict");
}

// A 24-bit BMP of w x h pixels, which the image decoder reads like PNG.
std::vector<uint8_t> bmpImage(int w, int h) {
    const int rowBytes = (w * 3 + 3) & ~3;
    const uint32_t dataSize = static_cast<uint32_t>(rowBytes * h);
    std::vector<uint8_t> out(54 + dataSize, 0);
    auto put32 = [&out](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put32(2, static_cast<uint32_t>(out.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h));
    out[26] = 1;
    out[28] = 24;
    put32(34, dataSize);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &out[54 + static_cast<size_t>(y * rowBytes + x * 3)];
            p[0] = static_cast<uint8_t>(x * 8);
            p[1] = static_cast<uint8_t>(y * 8);
            p[2] = 128;
        }
    }
    return out;
}

TEST(LlmMediaTest, ImagesAreCheckedDecodedAndEvaluated) {
    quietLlamaLogs();
    {
        auto engine = loadedEngine();
        EXPECT_EQ(thrownBy([&] { engine->startMediaGeneration("x", {{bmpImage(8, 8), false}}, 0); }).message,
                  "this model does not support image input (no files.mmproj)");
    }
    auto engine = std::make_unique<MivrelLLMEngine>();
    ModelLoadSettings settings = kitLoadSettings(kScriptedChatFile);
    settings.modelProperties = {{"files", {{"mmproj", kProjectorFile}}}};
    engine->loadModel(settings);
    engine->initContext(kitContextSettings());

    const std::string marker = mtmd_default_marker();
    const std::string onePrompt = "<|im_start|>user\n" + marker + "What is this?<|im_end|>\n<|im_start|>assistant\n";
    const MediaInput image{bmpImage(40, 24), false};
    struct Case {
        std::string prompt;
        std::vector<MediaInput> media;
        const char* message;
    };
    const Case cases[] = {
        {onePrompt, {}, "no images or audio given"},
        {onePrompt, {image, image}, "number of images/audio (2) does not match media markers in prompt"},
        {onePrompt, {{std::vector<uint8_t>{'n', 'o', 't'}, false}}, "cannot read image #1 (use PNG or JPEG)"},
        {onePrompt, {image, {std::vector<uint8_t>{1, 2}, false}}, "cannot read image #2 (use PNG or JPEG)"},
        {onePrompt, {{std::vector<uint8_t>{'R', 'I', 'F', 'F'}, true}},
         "this model does not support audio input (no audio encoder in files.mmproj)"},
    };
    for (const Case& c : cases) {
        const MivrelException e = thrownBy([&] { engine->startMediaGeneration(c.prompt, c.media, 0); });
        EXPECT_EQ(e.code, MivrelErrorCode::BadInput);
        EXPECT_EQ(e.message, c.message);
        EXPECT_EQ(engine->nPast(), 0);
    }

    const int32_t textTokens =
        static_cast<int32_t>(engine->tokenizeText("<|im_start|>user\nWhat is this?<|im_end|>\n<|im_start|>assistant\n",
                                                  true, true)
                                 .size());
    const int32_t n = engine->startMediaGeneration(onePrompt, {image}, 0);
    EXPECT_EQ(n, textTokens + kImageTokens);
    EXPECT_EQ(engine->nPast(), n);
    EXPECT_EQ(engine->getGenerationStats().turnStartPos, n);
    EXPECT_EQ(joined(pullAll(*engine)), replyText(kThoughtReply, "<|im_end|>"));
}

}  // namespace
