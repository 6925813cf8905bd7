// The decision engine on the kit's decision model: metadata checks at load
// (on edited copies of the model), the context switch to per-token output,
// marker scoring with its checks, and whole questions scored by markers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include <gguf.h>

#include "engine/decision_scoring.h"
#include "engine/engine_factory.h"
#include "engine/mivrel_decision_engine.h"
#include "engine/mivrel_exception.h"
#include "engine_test_util.h"
#include "llm_test_util.h"
#include "support/temp_dir.h"

namespace {

using namespace llmtest;
using namespace testmodels;
using ojson = nlohmann::ordered_json;

ModelLoadSettings decisionSettings(const std::string& path = testModelPath(kDecisionFile)) {
    ModelLoadSettings s = kitLoadSettings(kDecisionFile);
    s.modelPath = path;
    s.assembler = "virl";
    return s;
}

ContextSettings decisionContext() {
    ContextSettings c = kitContextSettings();
    c.nCtx = 512;
    c.nBatch = 512;
    c.nUbatch = 512;
    return c;
}

std::unique_ptr<MivrelDecisionEngine> loadedDecisionEngine(const ContextSettings& context = decisionContext()) {
    quietLlamaLogs();
    auto engine = std::make_unique<MivrelDecisionEngine>();
    engine->loadModel(decisionSettings());
    engine->initContext(context);
    return engine;
}

// A copy of the kit's decision model with its metadata edited.
std::string editedModel(const TempDir& dir, const std::string& name, const std::function<void(gguf_context*)>& edit) {
    ggml_context* data = nullptr;
    gguf_init_params params{false, &data};
    gguf_context* source = gguf_init_from_file(testModelPath(kDecisionFile).c_str(), params);
    EXPECT_NE(source, nullptr);
    // A fresh context takes the tensors with their loaded data.
    gguf_context* ctx = gguf_init_empty();
    gguf_set_kv(ctx, source);
    for (int64_t i = 0; i < gguf_get_n_tensors(source); ++i) {
        gguf_add_tensor(ctx, ggml_get_tensor(data, gguf_get_tensor_name(source, i)));
    }
    gguf_free(source);
    edit(ctx);
    const std::string path = dir.file(name);
    EXPECT_TRUE(gguf_write_to_file(ctx, path.c_str(), false));
    gguf_free(ctx);
    ggml_free(data);
    return path;
}

TEST(DecisionEngineTest, LoadReadsTheDecisionMetadata) {
    auto engine = loadedDecisionEngine();
    const DecisionModelInfo* info = engine->getDecisionInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->type, "virl");
    EXPECT_EQ(info->maxHeadTokens, kDecisionMaxHeadTokens);
    EXPECT_EQ(info->maxChoiceTokens, 48u);
    EXPECT_EQ(info->temperatures,
              (std::map<std::string, float>{{"choice", kDecisionTemperatureChoice},
                                            {"choice.3_5", kDecisionTemperatureChoice3to5},
                                            {"score", kDecisionTemperatureScore}}));
    EXPECT_EQ(info->maskToken, kDecisionMask);
    EXPECT_EQ(info->sepToken, kDecisionSep);
    EXPECT_EQ(info->maskText, "[MASK]");
    EXPECT_EQ(info->sepText, "[SEP]");
    EXPECT_EQ(info->clsPrefix, "[CLS]");
    EXPECT_EQ(info->templateText, kDecisionTemplate);

    engine->unloadModel();
    EXPECT_EQ(engine->getDecisionInfo(), nullptr);
    EXPECT_EQ(createMivrelEngine("DECISION")->getDecisionInfo(), nullptr);
    EXPECT_NE(dynamic_cast<MivrelDecisionEngine*>(createMivrelEngine("DECISION").get()), nullptr);
}

TEST(DecisionEngineTest, BadMetadataFailsTheLoadAndFreesTheModel) {
    quietLlamaLogs();
    TempDir dir;
    auto setText = [](const char* key, const char* value) {
        return [=](gguf_context* c) { gguf_set_val_str(c, key, value); };
    };
    auto remove = [](const char* key) { return [=](gguf_context* c) { gguf_remove_key(c, key); }; };
    struct Case {
        const char* what;
        std::function<void(gguf_context*)> edit;
        std::string assembler;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no type", remove("bert.decision.type"), "virl", "not a decision model (missing bert.decision.type metadata)"},
        {"no architecture", remove("general.architecture"), "virl", ""},  // libllama refuses the file itself
        {"assembler differs", [](gguf_context*) {}, "default", "decision type mismatch: GGUF=virl, assembler=default"},
        {"other type", setText("bert.decision.type", "flux"), "flux",
         "unsupported decision type: flux (only virl is supported)"},
        {"max_head_tokens 0", setText("bert.decision.max_head_tokens", "0"), "virl",
         "decision model has no valid max_head_tokens"},
        {"max_head_tokens abc", setText("bert.decision.max_head_tokens", "abc"), "virl",
         "decision model has no valid max_head_tokens"},
        {"max_head_tokens absent", remove("bert.decision.max_head_tokens"), "virl",
         "decision model has no valid max_head_tokens"},
        {"max_head_tokens past 32 bits", setText("bert.decision.max_head_tokens", "4294967296"), "virl",
         "decision model has no valid max_head_tokens"},
        {"negative temperature", setText("bert.decision.temperature.score", "-1"), "virl",
         "invalid decision temperature: bert.decision.temperature.score = -1"},
        {"zero temperature", [](gguf_context* c) { gguf_set_val_f32(c, "bert.decision.temperature.noul", 0.0f); },
         "virl", "invalid decision temperature: bert.decision.temperature.noul = 0.000000"},
        {"NaN temperature", setText("bert.decision.temperature.noul", "nan"), "virl",
         "invalid decision temperature: bert.decision.temperature.noul = nan"},
        {"no template", remove("tokenizer.chat_template.systemone"), "virl",
         "decision model has no \"systemone\" template"},
        {"template starts with the question", setText("tokenizer.chat_template.systemone", "{{ type }} question: x"),
         "virl", "CLS prefix not found in systemone template"},
        {"template without the question", setText("tokenizer.chat_template.systemone", "[CLS]{{ type }}"), "virl",
         "CLS prefix not found in systemone template"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = editedModel(dir, "m" + std::to_string(index++) + ".gguf", c.edit);
        ModelLoadSettings settings = decisionSettings(path);
        settings.assembler = c.assembler;
        MivrelDecisionEngine engine;
        const MivrelException e = thrownBy([&] { engine.loadModel(settings); });
        EXPECT_EQ(e.code, MivrelErrorCode::LoadFailed);
        if (!c.message.empty()) {
            EXPECT_EQ(e.message, c.message);
        }
        EXPECT_EQ(engine.model(), nullptr);
        EXPECT_EQ(engine.getDecisionInfo(), nullptr);
    }
}

TEST(DecisionEngineTest, UnexpectedTemplateOnlyWarns) {
    quietLlamaLogs();
    TempDir dir;
    const std::string path = editedModel(dir, "loose.gguf", [](gguf_context* c) {
        gguf_set_val_str(c, "tokenizer.chat_template.systemone", "<s>{{ type }} question: {{ instructions }}");
    });
    LogCapture log;
    MivrelDecisionEngine engine;
    engine.loadModel(decisionSettings(path));
    ASSERT_NE(engine.getDecisionInfo(), nullptr);
    EXPECT_EQ(engine.getDecisionInfo()->clsPrefix, "<s>");
    EXPECT_TRUE(log.contains("systemone 템플릿 형식이 예상과 다릅니다")) << log.text();
}

TEST(DecisionEngineTest, ContextGetsPerTokenOutputAndOneBatchPerMicroBatch) {
    ContextSettings settings = decisionContext();
    settings.nBatch = 1024;
    settings.nUbatch = 256;
    LogCapture log;
    auto engine = loadedDecisionEngine(settings);
    EXPECT_TRUE(log.contains("n_batch(1024) > n_ubatch(256)")) << log.text();
    EXPECT_EQ(llama_n_batch(engine->context()), 256u);
    EXPECT_EQ(llama_n_ubatch(engine->context()), 256u);
    EXPECT_EQ(llama_pooling_type(engine->context()), LLAMA_POOLING_TYPE_NONE);
    EXPECT_EQ(llama_n_seq_max(engine->context()), 1u);

    // The engine refuses every chat operation with the base texts.
    EXPECT_EQ(thrownBy([&] { engine->scoreLabels("x", {"A"}); }).message,
              "this engine does not support label scoring (scoreLabels)");
    EXPECT_EQ(thrownBy([&] { engine->startGeneration({1}); }).code, MivrelErrorCode::BadInput);
    EXPECT_EQ(thrownBy([&] { engine->resetContext(settings); }).message, "this engine does not support resetContext");
    engine->abortGeneration();
    EXPECT_FALSE(engine->isTurnOpen());
    EXPECT_TRUE(engine->getSamplingOptions().is_null());
}

TEST(DecisionEngineTest, ScoreMarkersChecksBeforeDecoding) {
    quietLlamaLogs();
    MivrelDecisionEngine bare;
    EXPECT_EQ(thrownBy([&] { bare.scoreMarkers({1}, {0}, 0); }).message, "model is not loaded");
    bare.loadModel(decisionSettings());
    EXPECT_EQ(thrownBy([&] { bare.scoreMarkers({1}, {0}, 0); }).message, "context is not initialized");

    ContextSettings small = decisionContext();
    small.nBatch = 64;
    small.nUbatch = 64;
    auto engine = loadedDecisionEngine(small);
    const std::vector<int32_t> tokens(10, kDecisionMask);
    struct Case {
        const char* what;
        std::vector<int32_t> tokens;
        std::vector<int32_t> markers;
        int32_t column;
        MivrelErrorCode code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no tokens", {}, {0}, 0, MivrelErrorCode::LimitExceeded, "decision tokens or markers are empty"},
        {"no markers", tokens, {}, 0, MivrelErrorCode::LimitExceeded, "decision tokens or markers are empty"},
        {"one past n_ubatch", std::vector<int32_t>(65, kDecisionMask), {0}, 0, MivrelErrorCode::LimitExceeded,
         "decision prompt token count (65) exceeds n_ubatch (64)"},
        {"column past the row", tokens, {0}, kDecisionEmbeddingLength, MivrelErrorCode::BadInput,
         "decision column (32) is out of output size (32)"},
        {"negative column", tokens, {0}, -1, MivrelErrorCode::BadInput, "decision column (-1) is out of output size (32)"},
        {"marker at the token count", tokens, {1, 10}, 0, MivrelErrorCode::BadInput, "marker position (10) is out of token range"},
        {"negative marker", tokens, {-1}, 0, MivrelErrorCode::BadInput, "marker position (-1) is out of token range"},
        {"token outside the vocabulary", {kDecisionCls, 100000, kDecisionSep}, {0}, 0, MivrelErrorCode::BadInput,
         "decision token (100000) is out of vocabulary"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MivrelException e = thrownBy([&] { engine->scoreMarkers(c.tokens, c.markers, c.column); });
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.message, c.message);
    }
}

TEST(DecisionEngineTest, PromptsPastTheTrainedPositionsAreRefused) {
    ContextSettings wide = decisionContext();
    wide.nCtx = 4096;
    wide.nBatch = 1024;
    wide.nUbatch = 1024;
    auto engine = loadedDecisionEngine(wide);
    const std::vector<int32_t> tokens(kDecisionTrainedContext + 1, kDecisionMask);
    const MivrelException e = thrownBy([&] { engine->scoreMarkers(tokens, {0}, 0); });
    EXPECT_EQ(e.code, MivrelErrorCode::LimitExceeded);
    EXPECT_EQ(e.message, "decision prompt token count (513) exceeds n_ctx (512)");
}

TEST(DecisionEngineTest, ScoreMarkersReadsOneColumnPerMarkerAndLeavesNoTrace) {
    auto engine = loadedDecisionEngine();
    const std::vector<int32_t> tokens =
        engine->tokenizeText("[CLS]choice question: which fits?[SEP][MASK] red[MASK] blue[SEP]sunny day[SEP]", false, true);
    std::vector<int32_t> markers;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i] == kDecisionMask) markers.push_back(static_cast<int32_t>(i));
    }
    ASSERT_EQ(markers.size(), 2u);
    LogCapture log;
    const ScoreRecord first = engine->scoreMarkers(tokens, markers, 1);
    EXPECT_TRUE(log.contains("마커 판정: tokens=" + std::to_string(tokens.size()) + " markers=2 column=1")) << log.text();
    EXPECT_EQ(first.promptTokens, static_cast<int32_t>(tokens.size()));
    ASSERT_EQ(first.values.size(), 2u);
    EXPECT_TRUE(std::isfinite(first.values[0]) && std::isfinite(first.values[1]));
    EXPECT_NE(first.values[0], first.values[1]);
    EXPECT_EQ(engine->nPast(), 0);

    // Another question in between changes nothing of the next answer.
    engine->scoreMarkers(engine->tokenizeText("[CLS]x[SEP][MASK] y[SEP]z[SEP]", false, true), {3}, 0);
    const ScoreRecord again = engine->scoreMarkers(tokens, markers, 1);
    EXPECT_EQ(again.values, first.values);
    const ScoreRecord column0 = engine->scoreMarkers(tokens, markers, 0);
    EXPECT_NE(column0.values, first.values);
}

TEST(DecisionEngineTest, JudgesChoiceScoreAndNoulQuestionsByMarkers) {
    auto engine = loadedDecisionEngine();
    const DecisionModelInfo& info = *engine->getDecisionInfo();
    const std::unique_ptr<DecisionPromptRenderer> renderer = createDecisionPromptRenderer(info.type);
    ASSERT_NE(renderer, nullptr);
    const std::vector<DecisionQuestion> questions = validateDecisionRequest(ojson::parse(R"({"questions": {
        "colour": {"instructions": "Which fits?", "type": "choice", "criteria": {"red": "warm colours", "blue": null, "hat": null}},
        "quality": {"instructions": "How good is it?", "type": "score", "criteria": ["bad", "fine", "great"]},
        "truth": {"instructions": "Is it true?", "type": "noul"}
    }})"), 255);
    struct Expect {
        double temperature;
    };
    const std::vector<Expect> expected = {{kDecisionTemperatureChoice3to5}, {kDecisionTemperatureScore}, {1.0}};
    for (size_t i = 0; i < questions.size(); ++i) {
        SCOPED_TRACE(questions[i].name);
        const DecisionResult r =
            judgeQuestionByMarkers(*engine, info, *renderer, "a sunny day", questions[i], 0.0, 512, "POST /v1/systemone");
        ASSERT_EQ(r.probabilities.size(), questions[i].options.size());
        double sum = 0.0;
        for (double p : r.probabilities) {
            EXPECT_TRUE(p >= 0.0 && p <= 1.0);
            sum += p;
        }
        EXPECT_NEAR(sum, 1.0, 1e-9);
        EXPECT_EQ(r.passes, 1);
        EXPECT_FALSE(r.truncated);
        EXPECT_GT(r.inputTokens, 10);
        EXPECT_DOUBLE_EQ(r.temperature, expected[i].temperature);
        const ojson answer = decisionResultJson(questions[i], r);
        EXPECT_EQ(answer["type"], decisionTypeName(questions[i].type));
    }
    // A given temperature wins over the model's.
    EXPECT_DOUBLE_EQ(
        judgeQuestionByMarkers(*engine, info, *renderer, nullptr, questions[0], 3.0, 512, "t").temperature, 3.0);
}

TEST(DecisionEngineTest, LongQuestionsAreCutAndTooLongPromptsAreClientErrors) {
    auto engine = loadedDecisionEngine();
    const DecisionModelInfo& info = *engine->getDecisionInfo();
    VirlPromptRenderer renderer;
    DecisionQuestion q;
    q.name = "q";
    q.type = kDecisionChoice;
    std::string longText;
    for (int i = 0; i < 200; ++i) longText += "the ";
    q.instructions = longText;
    q.options = {{"red", longText}, {"blue", nullptr}};

    const DecisionResult cut = judgeQuestionByMarkers(*engine, info, renderer, "sky", q, 0.0, 512, "t");
    EXPECT_TRUE(cut.truncated);
    EXPECT_LE(cut.inputTokens, static_cast<int32_t>(kDecisionMaxHeadTokens) + 8);
    ASSERT_EQ(cut.probabilities.size(), 2u);

    // The context is never cut: with a short micro-batch the prompt is refused
    // as the client's problem.
    try {
        judgeQuestionByMarkers(*engine, info, renderer, longText, q, 0.0, 64, "t");
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("prompt is too long: ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(" tokens > n_ubatch 64"), std::string::npos) << e.what();
    }
}

}  // namespace
