// The choice and systemone endpoints of the real brisvanesrv: a decision
// instance on the kit's decision model and a chat instance on its tiny chat
// model, loaded on the first request.
#include <gtest/gtest.h>

#include <memory>

#include "instance_home.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

class DecisionEndpoints : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("judge", "judge.gguf", testmodels::kDecisionFile,
                        {{"familyType", "DECISION"}, {"assembler", "virl"}});
        home_->addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
        home_->addInstance("dec", "judge");
        home_->addInstance("chat", "tiny");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> DecisionEndpoints::home_;

TEST_F(DecisionEndpoints, SystemOneOnADecisionInstanceLoadsItAndAnswersEveryType) {
    const HttpReply reply = home_->post("/v1/mivrel/dec/systemone", R"({
        "state": "a sunny day",
        "questions": {
            "weather": {"instructions": "Which fits?", "type": "choice", "criteria": {"red": "warm", "blue": null}},
            "quality": {"instructions": "How good?", "type": "score", "criteria": ["bad", "fine", "great"]},
            "truth": {"instructions": "Is it true?", "type": "noul"}
        }})");
    ASSERT_EQ(reply.status, 200) << reply.body << home_->serverLog();
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_TRUE(keysInOrder(reply.body, {"model", "mivrelId", "method", "answers", "weather", "type", "choice",
                                         "probabilities", "confidence", "truncated", "quality", "type", "score",
                                         "legend", "probabilities", "confidence", "truncated", "truth", "type", "noul",
                                         "truncated", "usage", "input_tokens", "output_tokens", "elapsed_ms"}))
        << reply.body;
    const json r = bodyJson(reply);
    EXPECT_EQ(r["method"], "virl");
    EXPECT_NEAR(r["answers"]["weather"]["probabilities"]["red"].get<double>() +
                    r["answers"]["weather"]["probabilities"]["blue"].get<double>(),
                1.0, 1e-9);
    EXPECT_EQ(bodyJson(home_->get("/v1/mivrel/dec/status"))["status"], "idle");

    const HttpReply images = home_->post("/v1/mivrel/dec/systemone", R"({"state": "s", "images": []})");
    EXPECT_EQ(images.status, 400);
    EXPECT_EQ(bodyJson(images)["error"]["message"], "image input is not supported yet (\"images\" / \"assets\")");
}

TEST_F(DecisionEndpoints, ChoiceOnAChatInstanceWithDebias) {
    const HttpReply reply = home_->post("/v1/mivrel/chat/choice",
                                        R"({"query": "a rainy day", "choices": ["umbrella", "hat"], "debias": true})");
    ASSERT_EQ(reply.status, 200) << reply.body << home_->serverLog();
    const json r = bodyJson(reply);
    EXPECT_EQ(r["method"], "llm_label");
    EXPECT_EQ(r["usage"]["passes"], 2);
    EXPECT_NEAR(r["probabilities"]["umbrella"].get<double>() + r["probabilities"]["hat"].get<double>(), 1.0, 1e-9);
    EXPECT_FALSE(r.contains("truncated"));
    EXPECT_EQ(bodyJson(home_->post("/v1/mivrel/chat/choice", R"({"query": "q", "choices": ["a"]})"))["error"]["message"],
              "\"choices\" must have 2 to 255 items");
}

}  // namespace
