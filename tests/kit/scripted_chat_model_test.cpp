// The scripted model produces exactly its scripts, from the token a prompt
// ends with, under greedy sampling and under the server's default chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "llama_test_support.h"
#include "support/test_models.h"

namespace {

using namespace kittest;
using namespace testmodels;

// The model and its context, loaded once for the suite. Members are destroyed
// in reverse order, so the context goes before the model it was made from.
struct LoadedModel {
    ModelPtr model;
    ContextPtr context;
};

class ScriptedChatModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        loaded_ = std::make_unique<LoadedModel>();
        loaded_->model = loadTestModel(kScriptedChatFile);
        if (loaded_->model) loaded_->context = newContext(loaded_->model.get(), 2);
        model_ = loaded_->model.get();
        context_ = loaded_->context.get();
    }
    static void TearDownTestSuite() {
        context_ = nullptr;
        model_ = nullptr;
        loaded_.reset();
    }
    void SetUp() override {
        ASSERT_NE(model_, nullptr);
        ASSERT_NE(context_, nullptr);
    }
    const llama_vocab* vocab() const { return llama_model_get_vocab(model_); }

    // What a reply should give over `count` tokens: the script itself, or for
    // a loop as many periods as fit.
    static std::vector<llama_token> expected(const ScriptedReply& reply, size_t count) {
        if (!reply.loops) return reply.tokens;
        std::vector<llama_token> out;
        while (out.size() < count) out.push_back(reply.tokens[out.size() % reply.tokens.size()]);
        return out;
    }

    // Prompts in the ChatML layout and in the raw layout, each ending in the
    // reply's selector text.
    std::vector<std::vector<llama_token>> promptsFor(const ScriptedReply& reply) const {
        const std::string chatml =
            "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nWhat now?<|im_end|>\n<|im_start|>assistant";
        const std::string raw = "Some earlier text\nwith <think> and <tool_call> markers\nlast line";
        return {tokenize(vocab(), chatml + reply.promptEnding, true), tokenize(vocab(), raw + reply.promptEnding, true)};
    }

    static constexpr int kLoopTokens = 48;
    static std::unique_ptr<LoadedModel> loaded_;
    static llama_model* model_;
    static llama_context* context_;
};
std::unique_ptr<LoadedModel> ScriptedChatModelTest::loaded_;
llama_model* ScriptedChatModelTest::model_ = nullptr;
llama_context* ScriptedChatModelTest::context_ = nullptr;

TEST_F(ScriptedChatModelTest, TextOfEveryReplyMatchesItsTokens) {
    for (const ScriptedReply& reply : kScriptedReplies) {
        SCOPED_TRACE(reply.name);
        std::string text;
        for (llama_token t : reply.tokens) text += pieceOf(vocab(), t);
        EXPECT_EQ(text, reply.text);
        EXPECT_EQ(llama_vocab_is_eog(vocab(), reply.tokens.back()), !reply.loops);
    }
}

TEST_F(ScriptedChatModelTest, GreedyGenerationFollowsEveryScript) {
    SamplerPtr greedy = greedySampler();
    for (const ScriptedReply& reply : kScriptedReplies) {
        SCOPED_TRACE(reply.name);
        for (const std::vector<llama_token>& prompt : promptsFor(reply)) {
            ASSERT_FALSE(prompt.empty());
            ASSERT_EQ(prompt.back(), reply.start);
            const std::vector<llama_token> got = generate(context_, greedy.get(), prompt, kLoopTokens);
            EXPECT_EQ(got, expected(reply, kLoopTokens));
        }
    }
}

TEST_F(ScriptedChatModelTest, DefaultSamplingFollowsEveryScript) {
    for (uint32_t seed = 1; seed <= 8; ++seed) {
        SamplerPtr sampler = defaultChatSampler(vocab(), seed);
        for (const ScriptedReply& reply : kScriptedReplies) {
            SCOPED_TRACE(std::string(reply.name) + " seed " + std::to_string(seed));
            for (const std::vector<llama_token>& prompt : promptsFor(reply)) {
                const std::vector<llama_token> got = generate(context_, sampler.get(), prompt, kLoopTokens);
                EXPECT_EQ(got, expected(reply, kLoopTokens));
            }
        }
    }
}

TEST_F(ScriptedChatModelTest, StartingInsideAScriptGivesItsRest) {
    // <think> and <tool_call> are user-defined, so a prompt can end in them.
    SamplerPtr greedy = greedySampler();
    const std::vector<llama_token> thought = generate(context_, greedy.get(), tokenize(vocab(), "x<think>", true), 32);
    EXPECT_EQ(thought, std::vector<llama_token>(kThoughtReply.tokens.begin() + 1, kThoughtReply.tokens.end()));
    const std::vector<llama_token> call = generate(context_, greedy.get(), tokenize(vocab(), "x<tool_call>", true), 32);
    EXPECT_EQ(call, std::vector<llama_token>(kToolCall.tokens.begin() + 1, kToolCall.tokens.end()));
}

TEST_F(ScriptedChatModelTest, UnscriptedPromptEndingsEndTheTurnAtOnce) {
    SamplerPtr greedy = greedySampler();
    for (const char* prompt : {"Hi", "<|im_start|>user\nHi<|im_end|>", "5 + 5 =", "<|im_end|>"}) {
        SCOPED_TRACE(prompt);
        EXPECT_EQ(generate(context_, greedy.get(), tokenize(vocab(), prompt, true), 8),
                  std::vector<llama_token>{kImEnd});
    }
}

TEST_F(ScriptedChatModelTest, SplitCharacterArrivesOneByteAtATime) {
    // Each of the euro sign's tokens is one byte and none is text alone.
    const std::vector<llama_token> split = {0xE2, 0x82, 0xAC};
    std::string joined;
    for (llama_token t : split) {
        const std::string piece = pieceOf(vocab(), t);
        ASSERT_EQ(piece.size(), 1u);
        joined += piece;
    }
    EXPECT_EQ(joined, "\xE2\x82\xAC");
    const auto at = std::search(kSplitUtf8.tokens.begin(), kSplitUtf8.tokens.end(), split.begin(), split.end());
    EXPECT_NE(at, kSplitUtf8.tokens.end());
}

// The flood model: a long trained context and, after "~\n", its two long
// tokens in turn for as long as the context lasts.
TEST(FloodChatModelTest, EndlessReplyOfLongTokens) {
    ModelPtr model = loadTestModel(kFloodChatFile);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(llama_model_n_ctx_train(model.get()), kFloodTrainedContext);
    ContextPtr context = newContext(model.get(), 2);
    ASSERT_NE(context, nullptr);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    SamplerPtr greedy = greedySampler();
    const std::vector<llama_token> prompt = tokenize(vocab, "<|im_start|>user\ngo~\n", true);
    const std::vector<llama_token> got = generate(context.get(), greedy.get(), prompt, 64);
    ASSERT_EQ(got.size(), 64u);
    for (size_t i = 0; i < got.size(); ++i) {
        const char letter = i % 2 == 0 ? 'f' : 'g';
        EXPECT_EQ(pieceOf(vocab, got[i]), " " + std::string(kFloodTokenBytes - 1, letter)) << "token " << i;
    }
}

}  // namespace
