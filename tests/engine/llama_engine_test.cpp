// The llama engine base on the kit's real models: placement, model files,
// projector, context creation, tokenizing and context statistics.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "engine/gpu_devices.h"
#include "engine/mivrel_exception.h"
#include "engine_test_util.h"
#include "llm_test_util.h"

namespace {

using namespace llmtest;
using namespace testmodels;

TEST(LlamaEngineLoadTest, PlacementsLoadOrRefuseWithoutAGpu) {
    quietLlamaLogs();
    ASSERT_TRUE(listGpuDevices().empty()) << "these cases assume a machine without GPUs";
    struct Case {
        const char* placement;
        const char* logged;  // part of the load line, or "" for a refusal
        const char* refusal;
    };
    const Case cases[] = {
        {"cpu", "(placement=cpu \xE2\x86\x92 CPU, n_gpu_layers=0)", ""},
        {"auto", "(placement=auto \xE2\x86\x92 auto (llama.cpp default), n_gpu_layers=20)", ""},
        {"gpu", "", "placement \"gpu\": no GPU found (available: none) \xE2\x80\x94 use \"cpu\" or \"auto\""},
        {"gpu1", "", "gpu1 not found (available: none)"},
        {"tpu", "", "invalid placement: \"tpu\" (use auto, gpu, gpuN, cpu)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.placement);
        LogCapture log;
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.placement = c.placement;
        settings.nGpuLayers = 20;
        if (*c.refusal) {
            const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
            EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
            EXPECT_EQ(e.message, c.refusal);
            EXPECT_EQ(engine.model(), nullptr);
        } else {
            engine.loadModel(settings);
            EXPECT_NE(engine.model(), nullptr);
            EXPECT_EQ(engine.gpuDevice(), nullptr);
            EXPECT_TRUE(log.contains(c.logged)) << log.text();
            EXPECT_FALSE(log.contains("VRAM"));
        }
    }
}

TEST(LlamaEngineLoadTest, ModelFilesOfThePropertiesAreCheckedAndUsed) {
    quietLlamaLogs();
    struct Case {
        nlohmann::json files;
        const char* error;  // "" when the load succeeds
    };
    const Case cases[] = {
        {{{"model", "../x.gguf"}}, "invalid file name in files.model: ../x.gguf"},
        {{{"model", "sub/x.gguf"}}, "invalid file name in files.model: sub/x.gguf"},
        {{{"model", "sub\\x.gguf"}}, "invalid file name in files.model: sub\\x.gguf"},
        {{{"model", ""}}, "invalid file name in files.model: "},
        {{{"model", 7}}, ""},                          // not a name: the configured path is used
        {{{"model", kTinyChatFile}}, ""},              // the named file wins over the configured path
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files.dump());
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        if (c.files.contains("model") && c.files["model"].is_string() && *c.error == '\0') {
            settings.modelPath = "/nonexistent/model.gguf";
        }
        settings.modelProperties = {{"files", c.files}};
        if (*c.error) {
            const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
            EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
            EXPECT_EQ(e.message, c.error);
        } else {
            engine.loadModel(settings);
            EXPECT_NE(engine.model(), nullptr);
            EXPECT_EQ(engine.loadSettings().modelPath, testModelPath(kTinyChatFile));
        }
    }
}

TEST(LlamaEngineLoadTest, FailedLoadLeavesNoModelAndSecondLoadIsIgnored) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    ModelLoadSettings missing = kitLoadSettings(kTinyChatFile);
    missing.modelPath = "/nonexistent/none.gguf";
    const MivrelException e = thrownBy([&] { engine.loadModel(missing); });
    EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
    EXPECT_EQ(e.message, "failed to load model: /nonexistent/none.gguf");
    EXPECT_EQ(engine.model(), nullptr);

    engine.loadModel(kitLoadSettings(kTinyChatFile));
    llama_model* first = engine.model();
    LogCapture log;
    engine.loadModel(kitLoadSettings(kScriptedChatFile));
    EXPECT_EQ(engine.model(), first);
    EXPECT_EQ(engine.loadSettings().modelPath, testModelPath(kTinyChatFile));
    EXPECT_TRUE(log.contains("이미 모델이 로드되어 있습니다"));

    engine.unloadModel();
    EXPECT_EQ(engine.model(), nullptr);
    EXPECT_FALSE(engine.getModelInfo().loaded);
    EXPECT_EQ(engine.loadSettings().modelPath, testModelPath(kTinyChatFile));  // settings stay
    engine.unloadModel();  // nothing left: no effect
}

TEST(LlamaEngineLoadTest, ProjectorLoadsOrFailsWithTheModelFreed) {
    quietLlamaLogs();
    {
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.modelProperties = {{"files", {{"mmproj", kProjectorFile}}}};
        engine.loadModel(settings);
        EXPECT_TRUE(engine.supportsImageInput());
        EXPECT_FALSE(engine.supportsAudioInput());
    }
    {
        LogCapture log;
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.modelProperties = {{"files", {{"mmproj", kProjectorFile}}}};
        settings.params = {{"multimodal", false}};
        engine.loadModel(settings);
        EXPECT_NE(engine.model(), nullptr);
        EXPECT_FALSE(engine.supportsImageInput());
        EXPECT_TRUE(log.contains("multimodal=false"));
    }
    {
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.modelProperties = {{"files", {{"mmproj", "missing-mmproj.gguf"}}}};
        const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, "model file not found (files.mmproj): " + testModelPath("missing-mmproj.gguf"));
        EXPECT_EQ(engine.model(), nullptr);
    }
    {
        // A chat model is no projector: the library refuses it.
        MivrelLLMEngine engine;
        ModelLoadSettings settings = kitLoadSettings(kTinyChatFile);
        settings.modelProperties = {{"files", {{"mmproj", kScriptedChatFile}}}};
        const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        EXPECT_EQ(e.message, "failed to load vision projector (files.mmproj): " + testModelPath(kScriptedChatFile));
        EXPECT_EQ(engine.model(), nullptr);
    }
}

TEST(LlamaEngineContextTest, ContextIsLoweredToTheTrainedSizeAndReplaced) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    const MivrelException e = thrownBy([&] { engine.initContext(kitContextSettings()); });
    EXPECT_EQ(e.code, MivrelErrorCode::NotLoaded);
    EXPECT_EQ(e.message, "model is not loaded");
    EXPECT_EQ(engine.getContextStats().nCtx, 0);

    engine.loadModel(kitLoadSettings(kTinyChatFile));
    ContextSettings settings = kitContextSettings();
    settings.nCtx = 4096;
    settings.flashAttn = "ON";  // not a recognised value: the chat engine's choice stays
    LogCapture log;
    engine.initContext(settings);
    EXPECT_TRUE(log.contains("n_ctx 4096 > 모델 학습 context 256 \xE2\x86\x92 256 로 줄임")) << log.text();
    EXPECT_TRUE(log.contains("flash_attn=enabled"));
    EXPECT_EQ(engine.contextSettings().nCtx, kTrainedContext);
    EXPECT_EQ(engine.nCtx(), kTrainedContext);

    engine.startGeneration(engine.tokenizeText("Hello", true, true));
    ContextStats stats = engine.getContextStats();
    EXPECT_EQ(stats.nPast, engine.nPast());
    EXPECT_GT(stats.nPast, 0);
    EXPECT_EQ(stats.usedCells, stats.nPast);
    EXPECT_GT(stats.stateBytes, 0);

    settings.nCtx = 128;
    settings.flashAttn = "off";
    LogCapture second;
    engine.initContext(settings);
    EXPECT_TRUE(second.contains("flash_attn=disabled"));
    stats = engine.getContextStats();
    EXPECT_EQ(stats.nCtx, engine.nCtx());  // the library may round the size up
    EXPECT_EQ(stats.nPast, 0);
    EXPECT_EQ(stats.usedCells, 0);

    engine.freeContext();
    EXPECT_EQ(engine.nCtx(), 0);
    EXPECT_EQ(engine.nPast(), 0);
    EXPECT_EQ(engine.getContextStats().stateBytes, 0);
    EXPECT_NE(engine.model(), nullptr);
}

TEST(LlamaEngineTokenizeTest, PromptAndTextFollowTheFlags) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    EXPECT_EQ(thrownBy([&] { engine.tokenizePrompt("x"); }).code, MivrelErrorCode::NotLoaded);
    EXPECT_EQ(thrownBy([&] { engine.tokenizeText("x", false, false); }).message, "model is not loaded");
    engine.loadModel(kitLoadSettings(kTinyChatFile));

    EXPECT_EQ(engine.tokenizeText("<|im_start|>", false, true), std::vector<int32_t>{kImStart});
    EXPECT_EQ(engine.tokenizeText("<|im_start|>", false, false).size(), std::string("<|im_start|>").size());
    // User-defined markers match without parse_special.
    EXPECT_EQ(engine.tokenizeText("<think>", false, false), std::vector<int32_t>{kThinkOpen});
    EXPECT_EQ(engine.tokenizeText("ab", false, false), (std::vector<int32_t>{'a', 'b'}));
    EXPECT_TRUE(engine.tokenizeText("", false, true).empty());

    // The prompt form adds the model's special tokens and parses markers.
    const std::vector<int32_t> special = engine.tokenizeText("", true, true);
    EXPECT_EQ(engine.tokenizePrompt(""), special);
    std::vector<int32_t> expected = special;
    expected.push_back(kImStart);
    expected.push_back('h');
    expected.push_back('i');
    std::vector<std::pair<int32_t, std::string>> seen;
    const std::vector<int32_t> tokens =
        engine.tokenizePrompt("<|im_start|>hi", [&](int32_t t, const std::string& piece) { seen.push_back({t, piece}); });
    EXPECT_EQ(tokens, expected);
    ASSERT_EQ(seen.size(), tokens.size());
    EXPECT_EQ(seen[special.size()], std::make_pair(kImStart, std::string("<|im_start|>")));
    EXPECT_EQ(engine.tokenText(kImEnd), "<|im_end|>");
    EXPECT_EQ(engine.metaString("general.architecture"), "llama");
    EXPECT_EQ(engine.metaString("no.such.key"), "");
}


// A text with markers, blanks of every kind, merged words and multi-byte
// characters, repeated to `bytes`.
std::string mixedText(size_t bytes) {
    const std::string unit =
        "Hello world <|im_start|>user\nsome words, \xEC\x84\xB8\xEA\xB3\x84 tick tock\n\n  spaced  out\tend."
        "<think>a thought</think> it's 1234 ok<|im_end|>\r\nx y z ";
    std::string text;
    while (text.size() < bytes) text += unit;
    text.resize(bytes);
    return text;
}

// A big text is tokenized in pieces, so that a stop is seen between them; the
// pieces end only where the tokenizer starts a new word anyway, so the tokens
// are those of one pass over the whole text.
TEST(LlamaEngineTokenizeTest, BigTextsGiveTheSameTokensInPiecesAndStopBetweenThem) {
    quietLlamaLogs();
    MivrelLLMEngine engine;
    engine.loadModel(kitLoadSettings(kTinyChatFile));
    const std::string text = mixedText(200000);
    engine.setTokenizePieceBytes(SIZE_MAX);
    const std::vector<int32_t> whole = engine.tokenizePrompt(text);
    const std::vector<int32_t> wholeText = engine.tokenizeText(text, false, false);
    for (size_t piece : {size_t{1}, size_t{97}, size_t{4096}}) {
        SCOPED_TRACE(piece);
        engine.setTokenizePieceBytes(piece);
        EXPECT_EQ(engine.tokenizePrompt(text), whole);
        EXPECT_EQ(engine.tokenizeText(text, false, false), wholeText);
    }

    std::atomic<bool> stop{true};
    engine.abortFlag = &stop;
    const MivrelException before = thrownBy([&] { engine.tokenizeText("short", false, true); });
    EXPECT_EQ(before.code, MivrelErrorCode::RuntimeFailed);
    EXPECT_EQ(before.message, "tokenize stopped");

    // A stop while a long text is tokenized ends the work between two pieces.
    stop.store(false);
    engine.setTokenizePieceBytes(4096);
    const std::string big = mixedText(16u << 20);
    std::atomic<bool> started{false};
    std::thread stopper([&] {
        while (!started.load()) std::this_thread::yield();
        stop.store(true);
    });
    std::string outcome = "finished";
    started.store(true);
    try {
        engine.tokenizePrompt(big);
    } catch (const MivrelException& e) {
        outcome = e.message;
    }
    stopper.join();
    EXPECT_EQ(outcome, "tokenize stopped");
    engine.setTokenizePieceBytes(0);
    engine.abortFlag = nullptr;
}

}  // namespace
