// Chat over HTTP with the Gemma4, GPT-OSS and Tolv prompt families: the real
// brisvanesrv renders each family's prompt, the family variant of the
// scripted model answers in that family's markers, and the family's
// assembler turns them into the reply's blocks.
#include <gtest/gtest.h>

#include <memory>

#include "instance_home.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

std::string chatBody(const std::string& conversation, const json& options = json::object()) {
    return json({{"conversationId", conversation},
                 {"messages", json::array({{{"role", "user"}, {"content", "Hi"}}})},
                 {"options", options}})
        .dump();
}

class FamilyChat : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("gemma", "gemma.gguf", testmodels::kScriptedGemma4File, {{"assembler", "gemma4"}});
        home_->addModel("oss", "oss.gguf", testmodels::kScriptedGptOssFile, {{"assembler", "gpt-oss"}});
        home_->addModel("tolv", "tolv.gguf", testmodels::kScriptedTolvFile, {{"assembler", "tolv"}});
        home_->addInstance("g", "gemma");
        home_->addInstance("o", "oss");
        home_->addInstance("t", "tolv");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static json chat(const std::string& id, const std::string& body) {
        const HttpReply reply = home_->post("/v1/mivrel/" + id + "/messages", body);
        EXPECT_EQ(reply.status, 200) << reply.body << home_->serverLog();
        return bodyJson(reply);
    }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> FamilyChat::home_;

// A reply's content blocks as "type:text" lines.
std::vector<std::string> blocksOf(const json& reply) {
    std::vector<std::string> blocks;
    for (const json& block : reply["message"]["content"]) {
        const std::string type = block.value("type", "");
        blocks.push_back(type + ":" + block.value(type == "thinking" ? "thinking" : "text", ""));
    }
    return blocks;
}

TEST_F(FamilyChat, Gemma4ThoughtChannelThenAnswer) {
    const json reply = chat("g", chatBody("g1"));
    EXPECT_EQ(blocksOf(reply), (std::vector<std::string>{"thinking:\nThinking it over.\n", "text:Hello there!"}))
        << reply.dump();
    EXPECT_EQ(reply["message"]["usage"]["stop_reason"], "eot");

    // The next turn of the same conversation is prompted and answered alike.
    const json next = chat("g", chatBody("g1"));
    EXPECT_EQ(blocksOf(next), blocksOf(reply)) << next.dump();
}

TEST_F(FamilyChat, GptOssFinalChannelIsTheAnswer) {
    const json reply = chat("o", chatBody("o1"));
    EXPECT_EQ(blocksOf(reply), (std::vector<std::string>{"text:Hello there!"})) << reply.dump();
    EXPECT_EQ(reply["message"]["usage"]["stop_reason"], "eot");
}

TEST_F(FamilyChat, TolvStopsWhereTheUsersTurnBegins) {
    const json reply = chat("t", chatBody("t1", {{"think", 2}}));
    EXPECT_EQ(blocksOf(reply), (std::vector<std::string>{"thinking:\nThinking it over.\n"})) << reply.dump();
    EXPECT_EQ(reply["message"]["usage"]["stop_reason"], "eot");
    // The assembler ended the generation at the foreign header, before the
    // model's own end token.
    EXPECT_NE(home_->serverLog().find("[MivrelEngine] 어셈블러가 먼저 생성을 멈춤"), std::string::npos);
}

}  // namespace
