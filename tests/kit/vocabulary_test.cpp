// The shared vocabulary of the kit's chat models, as libllama loads it, must
// match what tests/support/test_models.h promises.
#include <gtest/gtest.h>

#include "llama_test_support.h"
#include "support/test_models.h"

namespace {

using namespace kittest;
using namespace testmodels;

class KitVocabularyTest : public ::testing::TestWithParam<const char*> {};

TEST_P(KitVocabularyTest, MarkersAndSpecialIdsMatchTheFacts) {
    ModelPtr model = loadTestModel(GetParam());
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    ASSERT_EQ(llama_vocab_n_tokens(vocab), kVocabSize);
    EXPECT_EQ(llama_vocab_type(vocab), LLAMA_VOCAB_TYPE_BPE);
    EXPECT_EQ(llama_vocab_eot(vocab), kImEnd);
    EXPECT_EQ(llama_vocab_eos(vocab), kImEnd);
    EXPECT_EQ(llama_vocab_bos(vocab), kEndOfText);
    EXPECT_FALSE(llama_vocab_get_add_bos(vocab));

    for (const Marker& m : kMarkers) {
        SCOPED_TRACE(m.text);
        EXPECT_STREQ(llama_vocab_get_text(vocab, m.id), m.text);
        const llama_token_attr attr = llama_vocab_get_attr(vocab, m.id);
        EXPECT_EQ((attr & LLAMA_TOKEN_ATTR_CONTROL) != 0, m.control);
        EXPECT_EQ((attr & LLAMA_TOKEN_ATTR_USER_DEFINED) != 0, !m.control);
        EXPECT_EQ(llama_vocab_is_eog(vocab, m.id), m.endsGeneration);
        EXPECT_EQ(pieceOf(vocab, m.id), m.text);
    }
}

TEST_P(KitVocabularyTest, EveryByteHasItsOwnToken) {
    ModelPtr model = loadTestModel(GetParam());
    ASSERT_TRUE(model);
    const llama_vocab* vocab = llama_model_get_vocab(model.get());
    for (int b = 0; b < 256; ++b) {
        ASSERT_EQ(pieceOf(vocab, byteToken(static_cast<unsigned char>(b))), std::string(1, static_cast<char>(b)))
            << "byte " << b;
        EXPECT_FALSE(llama_vocab_is_eog(vocab, b));
    }
    // Bytes that are no valid text alone still come back from tokenizing.
    const std::string euro = "\xE2\x82\xAC";
    EXPECT_EQ(tokenize(vocab, euro, false), (std::vector<llama_token>{0xE2, 0x82, 0xAC}));
}

INSTANTIATE_TEST_SUITE_P(BothChatModels, KitVocabularyTest, ::testing::Values(kTinyChatFile, kScriptedChatFile));

class KitTokenizerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        owner_ = loadTestModel(kTinyChatFile);
        model_ = owner_.get();
    }
    static void TearDownTestSuite() {
        model_ = nullptr;
        owner_.reset();
    }
    const llama_vocab* vocab() const { return llama_model_get_vocab(model_); }
    static std::vector<llama_token> bytes(const std::string& s) {
        return std::vector<llama_token>(s.begin(), s.end());
    }
    static ModelPtr owner_;
    static llama_model* model_;
};
ModelPtr KitTokenizerTest::owner_;
llama_model* KitTokenizerTest::model_ = nullptr;

TEST_F(KitTokenizerTest, ChatMLPromptKeepsEveryMarkerAsOneToken) {
    ASSERT_NE(model_, nullptr);
    const std::string prompt =
        "<|im_start|>system\nBe brief.<|im_end|>\n<|im_start|>user\nHi<|im_end|>\n"
        "<|im_start|>assistant\n<think>\n\n</think>\n\n<tool_call>\n{}\n</tool_call><|im_end|>\n";
    std::vector<llama_token> want;
    auto add = [&want](std::vector<llama_token> part) { want.insert(want.end(), part.begin(), part.end()); };
    add({kImStart});
    add(bytes("system\nBe brief."));
    add({kImEnd, kNewline, kImStart});
    add(bytes("user\nHi"));
    add({kImEnd, kNewline, kImStart});
    add(bytes("assistant\n"));
    add({kThinkOpen, kDoubleNewline, kThinkClose, kDoubleNewline, kToolCallOpen});
    add(bytes("\n{}\n"));
    add({kToolCallClose, kImEnd, kNewline});

    const std::vector<llama_token> got = tokenize(vocab(), prompt, true);
    EXPECT_EQ(got, want);

    std::string back;
    for (llama_token t : got) back += pieceOf(vocab(), t);
    EXPECT_EQ(back, prompt);
}

TEST_F(KitTokenizerTest, OnlyUserDefinedMarkersMatchWithoutParseSpecial) {
    ASSERT_NE(model_, nullptr);
    struct Case {
        const char* text;
        std::vector<llama_token> parsed;
        std::vector<llama_token> plain;
    };
    const std::vector<Case> cases = {
        {"<|im_start|>", {kImStart}, bytes("<|im_start|>")},
        {"<|im_end|>", {kImEnd}, bytes("<|im_end|>")},
        {"<turn|>", {kGemmaTurnClose}, bytes("<turn|>")},
        {"<|return|>", {kOssReturn}, bytes("<|return|>")},
        {"<think>", {kThinkOpen}, {kThinkOpen}},
        {"</tool_call>", {kToolCallClose}, {kToolCallClose}},
        {"<|channel|>", {kOssChannel}, {kOssChannel}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(tokenize(vocab(), c.text, true), c.parsed);
        EXPECT_EQ(tokenize(vocab(), c.text, false), c.plain);
    }
}

TEST_F(KitTokenizerTest, PromptEndingsSelectTheMergedTokens) {
    ASSERT_NE(model_, nullptr);
    struct Case {
        const char* text;
        llama_token last;
        size_t count;
    };
    const std::vector<Case> cases = {
        {"Hi\n", kNewline, 3},
        {"Hi\n\n", kDoubleNewline, 3},
        {"Weather:\n", kColonNewline, 8},
        {"Cost$\n", kDollarNewline, 5},
        {"Loop~\n", kTildeNewline, 5},
        {"Hi :\n", kColonNewline, 4},
        {"a\n\n\n", kNewline, 3},  // three line feeds: one merge, then the byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<llama_token> got = tokenize(vocab(), c.text, true);
        ASSERT_EQ(got.size(), c.count);
        EXPECT_EQ(got.back(), c.last);
    }
}

}  // namespace
