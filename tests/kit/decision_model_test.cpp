// The tiny decision model loads as a bert encoder, carries the facts
// test_models.h states, and gives a finite output row for every token of one
// sequence decoded in one batch without pooling.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "llama_test_support.h"
#include "support/test_models.h"

namespace {

using namespace kittest;
using namespace testmodels;

std::string metaValue(const llama_model* model, const std::string& key) {
    char buf[1024];
    const int32_t n = llama_model_meta_val_str(model, key.c_str(), buf, sizeof(buf));
    return n < 0 ? std::string() : std::string(buf);
}

TEST(DecisionModel, MetadataVocabularyAndTemplateMatchTheFacts) {
    ModelPtr model = loadTestModel(kDecisionFile);
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    EXPECT_EQ(llama_vocab_type(vocab), LLAMA_VOCAB_TYPE_WPM);
    EXPECT_EQ(metaValue(model.get(), "general.architecture"), kDecisionArchitecture);
    EXPECT_EQ(llama_model_n_embd_out(model.get()), kDecisionEmbeddingLength);
    EXPECT_EQ(llama_model_n_ctx_train(model.get()), kDecisionTrainedContext);
    EXPECT_EQ(llama_vocab_mask(vocab), kDecisionMask);
    EXPECT_EQ(llama_vocab_sep(vocab), kDecisionSep);
    EXPECT_EQ(llama_vocab_bos(vocab), kDecisionCls);
    EXPECT_EQ(pieceOf(vocab, kDecisionMask), "[MASK]");
    EXPECT_EQ(pieceOf(vocab, kDecisionSep), "[SEP]");
    EXPECT_EQ(metaValue(model.get(), "bert.decision.type"), "virl");
    EXPECT_EQ(std::stoul(metaValue(model.get(), "bert.decision.max_head_tokens")), kDecisionMaxHeadTokens);
    EXPECT_FLOAT_EQ(std::stof(metaValue(model.get(), "bert.decision.temperature.choice")),
                    kDecisionTemperatureChoice);
    EXPECT_FLOAT_EQ(std::stof(metaValue(model.get(), "bert.decision.temperature.choice.3_5")),
                    kDecisionTemperatureChoice3to5);
    EXPECT_FLOAT_EQ(std::stof(metaValue(model.get(), "bert.decision.temperature.score")), kDecisionTemperatureScore);
    const char* tmpl = llama_model_chat_template(model.get(), "systemone");
    ASSERT_NE(tmpl, nullptr);
    EXPECT_STREQ(tmpl, kDecisionTemplate);
}

TEST(DecisionModel, TokenizesMarkersAndWordsWithSpecialParsing) {
    ModelPtr model = loadTestModel(kDecisionFile);
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    const std::vector<llama_token> tokens =
        tokenize(vocab, "[CLS]choice question: Which fits?[SEP][MASK] red[MASK] blue[SEP]zq[SEP]", true);
    ASSERT_FALSE(tokens.empty());
    EXPECT_EQ(tokens.front(), kDecisionCls);
    EXPECT_EQ(tokens.back(), kDecisionSep);
    int masks = 0;
    for (llama_token t : tokens) {
        EXPECT_NE(t, kDecisionUnknown);
        if (t == kDecisionMask) ++masks;
    }
    EXPECT_EQ(masks, 2);
    // A character outside the vocabulary turns its whole word into [UNK].
    const std::vector<llama_token> unknown = tokenize(vocab, "caf\xE2\x82\xAC", true);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0], kDecisionUnknown);
}

TEST(DecisionModel, EveryTokenHasAFiniteOutputRowWithoutPooling) {
    ModelPtr model = loadTestModel(kDecisionFile);
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    llama_context_params params = llama_context_default_params();
    params.n_ctx = 512;
    params.n_batch = 512;
    params.n_ubatch = 512;
    params.n_seq_max = 1;
    params.embeddings = true;
    params.pooling_type = LLAMA_POOLING_TYPE_NONE;
    params.n_threads = 2;
    params.n_threads_batch = 2;
    ContextPtr ctx(llama_init_from_model(model.get(), params));
    ASSERT_TRUE(ctx);

    std::vector<llama_token> tokens = tokenize(vocab, "[CLS]noul question: is it true?[SEP][MASK] no[MASK] yes[SEP]sky[SEP]", true);
    llama_batch batch = llama_batch_init(static_cast<int32_t>(tokens.size()), 0, 1);
    for (size_t i = 0; i < tokens.size(); ++i) {
        batch.token[i] = tokens[i];
        batch.pos[i] = static_cast<llama_pos>(i);
        batch.n_seq_id[i] = 1;
        batch.seq_id[i][0] = 0;
        batch.logits[i] = 1;
    }
    batch.n_tokens = static_cast<int32_t>(tokens.size());
    ASSERT_EQ(llama_decode(ctx.get(), batch), 0);
    for (size_t i = 0; i < tokens.size(); ++i) {
        const float* row = llama_get_embeddings_ith(ctx.get(), static_cast<int32_t>(i));
        ASSERT_NE(row, nullptr) << "position " << i;
        for (int c = 0; c < 3; ++c) EXPECT_TRUE(std::isfinite(row[c])) << "position " << i;
    }
    llama_batch_free(batch);
}

}  // namespace
