// The tiny image projector loads in mtmd next to either chat model, and an
// image chunk encodes and decodes into the model's context.
#include <gtest/gtest.h>

#include <cmath>

#include "llama_test_support.h"
#include "mtmd-helper.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using namespace kittest;
using namespace testmodels;

MtmdPtr loadProjector(const llama_model* model) {
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = false;
    params.n_threads = 2;
    params.print_timings = false;
    return MtmdPtr(mtmd_init_from_file(testModelPath(kProjectorFile).c_str(), model, params));
}

// A 20x12 RGB gradient: not square and not the projector's own size, so the
// image goes through mtmd's resizing too.
BitmapPtr gradientBitmap() {
    const uint32_t nx = 20, ny = 12;
    std::vector<unsigned char> rgb(nx * ny * 3);
    for (uint32_t y = 0; y < ny; ++y) {
        for (uint32_t x = 0; x < nx; ++x) {
            unsigned char* p = &rgb[(y * nx + x) * 3];
            p[0] = static_cast<unsigned char>(x * 12);
            p[1] = static_cast<unsigned char>(y * 20);
            p[2] = 128;
        }
    }
    return BitmapPtr(mtmd_bitmap_init(nx, ny, rgb.data()));
}

class ProjectorTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProjectorTest, ImageChunkEncodesAndDecodes) {
    ModelPtr model = loadTestModel(GetParam());
    ASSERT_TRUE(model);
    MtmdPtr mtmd = loadProjector(model.get());
    ASSERT_TRUE(mtmd);
    EXPECT_TRUE(mtmd_support_vision(mtmd.get()));
    EXPECT_FALSE(mtmd_support_audio(mtmd.get()));

    BitmapPtr bitmap = gradientBitmap();
    ASSERT_TRUE(bitmap);
    const std::string prompt = std::string("<|im_start|>user\n") + mtmd_default_marker() +
                               "What is this?<|im_end|>\n<|im_start|>assistant\n";
    mtmd_input_text text{prompt.c_str(), prompt.size(), false, true};
    ChunksPtr chunks(mtmd_input_chunks_init());
    const mtmd_bitmap* bitmaps[] = {bitmap.get()};
    ASSERT_EQ(mtmd_tokenize(mtmd.get(), chunks.get(), &text, bitmaps, 1), 0);

    ASSERT_EQ(mtmd_input_chunks_size(chunks.get()), 3u);
    EXPECT_EQ(mtmd_input_chunk_get_type(mtmd_input_chunks_get(chunks.get(), 0)), MTMD_INPUT_CHUNK_TYPE_TEXT);
    const mtmd_input_chunk* image = mtmd_input_chunks_get(chunks.get(), 1);
    ASSERT_EQ(mtmd_input_chunk_get_type(image), MTMD_INPUT_CHUNK_TYPE_IMAGE);
    EXPECT_EQ(mtmd_input_chunk_get_n_tokens(image), static_cast<size_t>(kImageTokens));
    EXPECT_EQ(mtmd_input_chunk_get_type(mtmd_input_chunks_get(chunks.get(), 2)), MTMD_INPUT_CHUNK_TYPE_TEXT);

    // The projector's own output: one finite row of model width per image token.
    ASSERT_EQ(mtmd_encode_chunk(mtmd.get(), image), 0);
    const float* embd = mtmd_get_output_embd(mtmd.get());
    ASSERT_NE(embd, nullptr);
    for (int i = 0; i < kImageTokens * kEmbeddingLength; ++i) {
        ASSERT_TRUE(std::isfinite(embd[i])) << "value " << i;
    }

    // The whole prompt, image included, goes into the text model's context.
    ContextPtr ctx = newContext(model.get(), 2);
    ASSERT_TRUE(ctx);
    llama_pos nPast = 0;
    ASSERT_EQ(mtmd_helper_eval_chunks(mtmd.get(), ctx.get(), chunks.get(), 0, 0, 64, true, &nPast), 0);
    EXPECT_EQ(static_cast<size_t>(nPast), mtmd_helper_get_n_tokens(chunks.get()));
    const float* logits = llama_get_logits_ith(ctx.get(), -1);
    ASSERT_NE(logits, nullptr);
    EXPECT_TRUE(std::isfinite(logits[0]));
}

INSTANTIATE_TEST_SUITE_P(BothChatModels, ProjectorTest, ::testing::Values(kTinyChatFile, kScriptedChatFile));

TEST(ProjectorScriptTest, ImageInTheContextLeavesTheScriptIntact) {
    ModelPtr model = loadTestModel(kScriptedChatFile);
    ASSERT_TRUE(model);
    MtmdPtr mtmd = loadProjector(model.get());
    ASSERT_TRUE(mtmd);
    BitmapPtr bitmap = gradientBitmap();
    const std::string prompt =
        std::string("<|im_start|>user\n") + mtmd_default_marker() + "<|im_end|>\n<|im_start|>assistant\n";
    mtmd_input_text text{prompt.c_str(), prompt.size(), false, true};
    ChunksPtr chunks(mtmd_input_chunks_init());
    const mtmd_bitmap* bitmaps[] = {bitmap.get()};
    ASSERT_EQ(mtmd_tokenize(mtmd.get(), chunks.get(), &text, bitmaps, 1), 0);

    ContextPtr ctx = newContext(model.get(), 2);
    ASSERT_TRUE(ctx);
    llama_pos nPast = 0;
    ASSERT_EQ(mtmd_helper_eval_chunks(mtmd.get(), ctx.get(), chunks.get(), 0, 0, 64, true, &nPast), 0);

    SamplerPtr greedy = greedySampler();
    std::vector<llama_token> got;
    for (int i = 0; i < 16; ++i) {
        const llama_token next = llama_sampler_sample(greedy.get(), ctx.get(), -1);
        got.push_back(next);
        if (llama_vocab_is_eog(llama_model_get_vocab(model.get()), next)) break;
        llama_token one = next;
        ASSERT_EQ(llama_decode(ctx.get(), llama_batch_get_one(&one, 1)), 0);
    }
    EXPECT_EQ(got, kThoughtReply.tokens);
}

}  // namespace
