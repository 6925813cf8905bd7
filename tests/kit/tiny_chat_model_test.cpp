// The tiny chat model loads in libllama with the shape the kit promises and
// generates deterministically: the same ids on every run and thread count.
#include <gtest/gtest.h>

#include <set>

#include "llama_test_support.h"
#include "support/test_models.h"

namespace {

using namespace kittest;
using namespace testmodels;

std::string metaValue(const llama_model* model, const char* key) {
    char buf[256];
    const int32_t n = llama_model_meta_val_str(model, key, buf, sizeof(buf));
    return n < 0 ? std::string() : std::string(buf);
}

TEST(TinyChatModelTest, LoadsWithTheKitShape) {
    ModelPtr model = loadTestModel(kTinyChatFile);
    ASSERT_TRUE(model);
    EXPECT_EQ(llama_model_n_embd(model.get()), kEmbeddingLength);
    EXPECT_EQ(llama_model_n_layer(model.get()), kBlockCount);
    EXPECT_EQ(llama_model_n_head(model.get()), kHeadCount);
    EXPECT_EQ(llama_model_n_ctx_train(model.get()), kTrainedContext);
    EXPECT_EQ(metaValue(model.get(), "general.architecture"), "llama");
    EXPECT_EQ(metaValue(model.get(), "llama.rope.dimension_count"), std::to_string(kEmbeddingLength / kHeadCount));
    EXPECT_EQ(metaValue(model.get(), "tokenizer.ggml.model"), "gpt2");
    EXPECT_EQ(metaValue(model.get(), "tokenizer.ggml.pre"), "qwen2");
    EXPECT_EQ(metaValue(model.get(), "general.file_type"), "1");
}

TEST(TinyChatModelTest, GreedyGenerationIsTheSameOnEveryRunAndThreadCount) {
    ModelPtr model = loadTestModel(kTinyChatFile);
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    const std::vector<llama_token> prompt =
        tokenize(vocab, "<|im_start|>user\nTell me a story.<|im_end|>\n<|im_start|>assistant\n", true);

    // With no end tokens allowed to stop it early, every run gives 32 ids.
    auto run = [&](int threads) {
        ContextPtr ctx = newContext(model.get(), threads);
        EXPECT_TRUE(ctx);
        if (!ctx) return std::vector<llama_token>();
        SamplerPtr greedy = greedySampler();
        std::vector<llama_token> out;
        std::vector<llama_token> pending = prompt;
        for (int i = 0; i < 32; ++i) {
            if (llama_decode(ctx.get(), llama_batch_get_one(pending.data(), static_cast<int32_t>(pending.size()))) != 0) {
                ADD_FAILURE() << "decode failed";
                break;
            }
            out.push_back(llama_sampler_sample(greedy.get(), ctx.get(), -1));
            pending.assign(1, out.back());
        }
        return out;
    };

    const std::vector<llama_token> first = run(1);
    ASSERT_EQ(first.size(), 32u);
    EXPECT_EQ(run(1), first);
    EXPECT_EQ(run(4), first);
    // Random weights, not a stuck model: the output is not one token repeated.
    EXPECT_GT(std::set<llama_token>(first.begin(), first.end()).size(), 1u);
}

}  // namespace
