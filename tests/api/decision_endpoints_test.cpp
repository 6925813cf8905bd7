// The choice and systemone endpoints on real engines: the kit's chat model
// for label scoring and its decision model for marker scoring. Request
// checks, reply shapes, the claim and the load, and the error replies.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <llama.h>
#include <mtmd.h>

#include "api/decision_endpoints.h"
#include "engine/mivrel_claim.h"
#include "instance_api_fixture.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using namespace instance_api;
using ojson = nlohmann::ordered_json;

void quietLog(ggml_log_level level, const char* text, void*) {
    if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

class DecisionApiTest : public InstanceApiTest {
protected:
    void SetUp() override {
        InstanceApiTest::SetUp();
        llama_log_set(quietLog, nullptr);
        mtmd_log_set(quietLog, nullptr);
        // Real engines.
        services_.mivrels = std::make_unique<MivrelManager>();
        services_.mivrels->setDir(::testing::TempDir());
    }

    std::shared_ptr<Mivrel> addModel(const std::string& id, const std::string& familyType, const std::string& file,
                                     const std::string& assembler, int32_t nUbatch = 512) {
        MivrelConfig config;
        config.id = id;
        config.type = "local";
        config.familyType = familyType;
        config.modelPath = testModelPath(file);
        config.loadSettings.placement = "cpu";
        config.loadSettings.nGpuLayers = 0;
        config.loadSettings.modelPath = testModelPath(file);
        config.loadSettings.modelDir = testModelsDir();
        config.loadSettings.assembler = assembler;
        config.contextSettings.nCtx = 512;
        config.contextSettings.nBatch = 512;
        config.contextSettings.nUbatch = nUbatch;
        config.contextSettings.nThreads = 2;
        config.contextSettings.nThreadsBatch = 2;
        EXPECT_TRUE(services_.mivrels->addMivrel(std::move(config)));
        return services_.mivrels->find(id);
    }

    std::shared_ptr<Mivrel> chat() { return addModel("chat", "LLM", testmodels::kTinyChatFile, "qwen3"); }
    std::shared_ptr<Mivrel> decision(int32_t nUbatch = 512) {
        return addModel("dec", "DECISION", testmodels::kDecisionFile, "virl", nUbatch);
    }
};

ojson replyOf(const Written& w) { return ojson::parse(w.body, nullptr, false); }

std::vector<std::string> keysOf(const ojson& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

void expectError(const Written& w, int status, const std::string& code, const std::string& message) {
    EXPECT_EQ(w.status, status) << w.body;
    const nlohmann::json body = w.json();
    ASSERT_TRUE(body.contains("error")) << w.body;
    EXPECT_EQ(body["error"]["code"], code);
    EXPECT_EQ(body["error"]["message"], message);
}

std::string choicesJson(size_t n) {
    std::string out = "[";
    for (size_t i = 0; i < n; ++i) out += (i ? ",\"c" : "\"c") + std::to_string(i) + "\"";
    return out + "]";
}

// `levels` nested arrays around a 0: far beyond the parse's nesting bound,
// deep enough to overflow a stack when walked recursively.
std::string deepArray(size_t levels) { return std::string(levels, '[') + "0" + std::string(levels, ']'); }

std::string objectOfKeys(size_t keys) {
    std::string out = "{";
    for (size_t i = 0; i < keys; ++i) out += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
    return out + "}";
}

TEST_F(DecisionApiTest, ChoiceRefusesBadRequestsBeforeAnyLoad) {
    const std::shared_ptr<Mivrel> mivrel = chat();
    struct Case {
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{nope", "Invalid JSON"},
        {R"({"query": )" + deepArray(60000) + R"(, "choices": ["a", "b"]})",
         "Invalid JSON: nesting deeper than 256 levels"},
        {"[1]", "\"query\" is required"},
        {R"({"choices": ["a", "b"]})", "\"query\" is required"},
        {R"({"query": null, "choices": ["a", "b"]})", "\"query\" is required"},
        {R"({"query": "q", "instruction": 3, "choices": ["a", "b"]})", "\"instruction\" must be a string"},
        {R"({"query": "q", "choices": "a"})", "\"choices\" must be an array of strings"},
        {R"({"query": "q"})", "\"choices\" must be an array of strings"},
        {R"({"query": "q", "choices": ["a", ""]})", "\"choices\" must contain non-empty strings"},
        {R"({"query": "q", "choices": ["a", 1]})", "\"choices\" must contain non-empty strings"},
        {R"({"query": "q", "choices": ["A", "B", "A"]})", "duplicate choice: A"},
        {R"({"query": "q", "choices": ["a"]})", "\"choices\" must have 2 to 255 items"},
        {R"({"query": "q", "choices": )" + choicesJson(256) + "}", "\"choices\" must have 2 to 255 items"},
        {R"({"query": "q", "choices": ["a", "b"], "temperature": 0})", "\"temperature\" must be a number > 0"},
        {R"({"query": "q", "choices": ["a", "b"], "temperature": "1"})", "\"temperature\" must be a number > 0"},
        {R"({"query": "q", "choices": ["a", "b"], "debias": 1})", "\"debias\" must be a boolean"},
        {R"({"query": "q", "choices": )" + choicesJson(27) + "}", "\"choices\" must have 2 to 26 items"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        expectError(call(handleChoice, "chat", c.body), 400, "bad_request", c.message);
    }
    EXPECT_FALSE(mivrel->hasEngine());
    expectError(call(handleChoice, "none", R"({"query": "q", "choices": ["a", "b"]})"), 404, "mivrel_not_found",
                "Mivrel not found: none");
    add("pic", "IMAGE");
    EXPECT_EQ(call(handleChoice, "pic", R"({"query": "q", "choices": ["a", "b"]})").json()["error"]["code"],
              "unsupported_mivrel_type");
}

TEST_F(DecisionApiTest, ChoiceOnAChatInstanceScoresLabelsWithAndWithoutDebias) {
    const std::shared_ptr<Mivrel> mivrel = chat();
    mivrel->openResponseId = "msg_1";
    for (bool debias : {false, true}) {
        SCOPED_TRACE(debias);
        const std::string body = std::string(R"({"query": "a rainy day", "choices": ["umbrella", "hat", "coat"],)") +
                                 R"( "temperature": null, "debias": )" + (debias ? "true" : "false") + "}";
        const Written w = call(handleChoice, "chat", body);
        ASSERT_EQ(w.status, 200) << w.body;
        const ojson r = replyOf(w);
        EXPECT_EQ(keysOf(r),
                  (std::vector<std::string>{"mivrelId", "method", "best_choice", "confidence", "probabilities", "usage"}));
        EXPECT_EQ(r["mivrelId"], "chat");
        EXPECT_EQ(r["method"], "llm_label");
        EXPECT_EQ(keysOf(r["probabilities"]), (std::vector<std::string>{"umbrella", "hat", "coat"}));
        double sum = 0.0, best = -1.0;
        std::string bestName;
        for (auto it = r["probabilities"].begin(); it != r["probabilities"].end(); ++it) {
            sum += it->get<double>();
            if (it->get<double>() > best) {
                best = it->get<double>();
                bestName = it.key();
            }
        }
        EXPECT_NEAR(sum, 1.0, 1e-9);
        EXPECT_EQ(r["best_choice"], bestName);
        EXPECT_DOUBLE_EQ(r["confidence"].get<double>(), best);
        EXPECT_EQ(keysOf(r["usage"]), (std::vector<std::string>{"input_tokens", "elapsed_ms", "passes"}));
        EXPECT_EQ(r["usage"]["passes"], debias ? 2 : 1);
        EXPECT_GT(r["usage"]["input_tokens"].get<int>(), 0);
    }
    // The claim ended before the reply; the chat's resumable reply is gone.
    EXPECT_FALSE(mivrel->isInferring());
    EXPECT_TRUE(mivrel->hasEngine());
    EXPECT_TRUE(mivrel->openResponseId.empty());
}

TEST_F(DecisionApiTest, ChoiceOnADecisionInstanceScoresMarkers) {
    const std::shared_ptr<Mivrel> mivrel = decision();
    const Written w = call(handleChoice, "dec", R"({"query": {"sky": "grey"}, "choices": )" + choicesJson(27) + "}");
    ASSERT_EQ(w.status, 200) << w.body;
    const ojson r = replyOf(w);
    EXPECT_EQ(keysOf(r), (std::vector<std::string>{"mivrelId", "method", "best_choice", "confidence", "probabilities",
                                                   "truncated", "usage"}));
    EXPECT_EQ(r["method"], "virl");
    EXPECT_EQ(r["probabilities"].size(), 27u);
    EXPECT_EQ(r["usage"]["passes"], 1);
    EXPECT_TRUE(r["truncated"].is_boolean());
    EXPECT_FALSE(mivrel->isInferring());
}

TEST_F(DecisionApiTest, SystemOneAnswersEveryQuestionTypeOnADecisionInstance) {
    decision();
    const Written w = call(handleSystemOne, "dec", R"({
        "state": "a sunny day", // comments are allowed
        "images": null,
        "questions": {
            "weather": {"instructions": "Which fits?", "type": "choice", "criteria": {"red": "warm", "blue": null}},
            "quality": {"instructions": "How good?", "type": "score", "criteria": ["bad", "fine", "great"]},
            "truth": {"instructions": "Is it true?", "type": "noul"}
        }})");
    ASSERT_EQ(w.status, 200) << w.body;
    const ojson r = replyOf(w);
    EXPECT_EQ(keysOf(r), (std::vector<std::string>{"model", "mivrelId", "method", "answers", "usage"}));
    EXPECT_EQ(r["model"], "dec");  // no model name: the id
    EXPECT_EQ(r["method"], "virl");
    EXPECT_EQ(keysOf(r["answers"]), (std::vector<std::string>{"weather", "quality", "truth"}));
    EXPECT_EQ(keysOf(r["answers"]["weather"]),
              (std::vector<std::string>{"type", "choice", "probabilities", "confidence", "truncated"}));
    EXPECT_EQ(keysOf(r["answers"]["quality"]),
              (std::vector<std::string>{"type", "score", "legend", "probabilities", "confidence", "truncated"}));
    EXPECT_EQ(keysOf(r["answers"]["truth"]), (std::vector<std::string>{"type", "noul", "truncated"}));
    const double noul = r["answers"]["truth"]["noul"].get<double>();
    EXPECT_TRUE(noul > 0.0 && noul < 1.0);
    const double score = r["answers"]["quality"]["score"].get<double>();
    EXPECT_TRUE(score >= 0.0 && score <= 2.0);
    EXPECT_EQ(keysOf(r["usage"]), (std::vector<std::string>{"input_tokens", "output_tokens", "elapsed_ms"}));
    EXPECT_EQ(r["usage"]["output_tokens"], 0);
    EXPECT_GT(r["usage"]["input_tokens"].get<int>(), 20);
}

TEST_F(DecisionApiTest, SystemOneOnAChatInstanceHasNoTruncatedFlag) {
    chat()->config.modelName = "Tiny Chat";
    const Written w = call(handleSystemOne, "chat", R"({"state": [{"type": "text", "text": "a sunny day"}],
        "questions": {"truth": {"instructions": "Is it true?", "type": "noul"}}})");
    ASSERT_EQ(w.status, 200) << w.body;
    const ojson r = replyOf(w);
    EXPECT_EQ(r["model"], "Tiny Chat");
    EXPECT_EQ(r["method"], "llm_label");
    EXPECT_EQ(keysOf(r["answers"]["truth"]), (std::vector<std::string>{"type", "noul"}));
}

TEST_F(DecisionApiTest, SystemOneRefusesBadRequests) {
    const std::shared_ptr<Mivrel> mivrel = chat();
    std::string many = R"({"state": "s", "questions": {)";
    for (int i = 0; i < 65; ++i) many += (i ? ",\"q" : "\"q") + std::to_string(i) + R"(": {"instructions": "i", "type": "noul"})";
    many += "}}";
    struct Case {
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"{", "Invalid JSON"},
        {R"({"state": )" + deepArray(60000) + "}", "Invalid JSON: nesting deeper than 256 levels"},
        {R"({"state": "s", "questions": )" + objectOfKeys(10001) + "}",
         "Invalid JSON: an object with more than 10000 keys"},
        {"[]", "Request body must be a JSON object"},
        {R"({"questions": {}})", "\"state\" must be provided"},
        {R"({"state": null})", "\"state\" must be provided"},
        {R"({"state": "s", "images": []})", "image input is not supported yet (\"images\" / \"assets\")"},
        {R"({"state": "s", "assets": {}})", "image input is not supported yet (\"images\" / \"assets\")"},
        {R"({"state": "s", "questions": []})", "\"questions\" must be a non-empty object"},
        {R"({"state": "s", "questions": {"q": {"instructions": "i", "criteria": {"a": 1}}}})",
         "questions.q: \"type\" must be one of: choice, score, noul"},
        {R"({"state": "s", "questions": {"q": {"instructions": "i", "type": "choice", "criteria": )" +
             std::string(R"({"a":1,"b":1,"c":1,"d":1,"e":1,"f":1,"g":1,"h":1,"i":1,"j":1,"k":1,"l":1,"m":1,"n":1,)") +
             R"("o":1,"p":1,"q":1,"r":1,"s":1,"t":1,"u":1,"v":1,"w":1,"x":1,"y":1,"z":1,"zz":1}}}})",
         "questions.q: too many options (27), this Mivrel supports at most 26"},
        {many, "too many questions (65), the maximum is 64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 60));
        expectError(call(handleSystemOne, "chat", c.body), 400, "bad_request", c.message);
    }
    EXPECT_FALSE(mivrel->hasEngine());
}

TEST_F(DecisionApiTest, BusyInstancesAreRefusedAndLoadFailuresLeaveNoEngine) {
    const std::shared_ptr<Mivrel> mivrel = decision();
    {
        MivrelClaim held = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
        ASSERT_TRUE(held);
        expectError(call(handleChoice, "dec", R"({"query": "q", "choices": ["a", "b"]})"), 409, "mivrel_inferring",
                    "Inference in progress");
        expectError(call(handleSystemOne, "dec", R"({"state": "s", "questions": {"t": {"instructions": "i", "type": "noul"}}})"),
                    409, "mivrel_inferring", "Inference in progress");
    }
    // A decision model under a chat assembler key fails its load.
    const std::shared_ptr<Mivrel> wrong = addModel("wrong", "DECISION", testmodels::kDecisionFile, "default");
    expectError(call(handleChoice, "wrong", R"({"query": "q", "choices": ["a", "b"]})"), 500, "internal_error",
                "decision type mismatch: GGUF=virl, assembler=default");
    EXPECT_FALSE(wrong->hasEngine());
    EXPECT_FALSE(wrong->isInferring());
}

TEST_F(DecisionApiTest, PromptsLongerThanTheMicroBatchAreClientErrors) {
    decision(64);
    std::string longState;
    for (int i = 0; i < 100; ++i) longState += "sky ";
    const Written w = call(handleChoice, "dec", R"({"query": ")" + longState + R"(", "choices": ["a", "b"]})");
    EXPECT_EQ(w.status, 400) << w.body;
    const std::string message = w.json()["error"]["message"];
    EXPECT_EQ(message.rfind("prompt is too long: ", 0), 0u) << message;
    EXPECT_NE(message.find("tokens > n_ubatch 64"), std::string::npos) << message;
}

}  // namespace
