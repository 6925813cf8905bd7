#include <cmath>

#include "kit_models.h"
#include "kit_random.h"

namespace kit {
namespace {

// Uniform weights with the variance of a unit-variance input kept through a
// layer of `fanIn` inputs.
float layerScale(uint32_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); }

}  // namespace

bool writeTinyChatModel(const std::string& path, const Vocabulary& vocab) {
    const ChatModelShape shape;
    const int64_t embd = shape.embeddingLength;
    const int64_t ff = shape.feedForwardLength;
    const int64_t nVocab = static_cast<int64_t>(vocab.tokens.size());

    GgufFileWriter out;
    writeLlamaMetadata(out, shape, vocab, "tiny-chat");

    KitRandom rng(20240611);
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_F16, {embd, nVocab},
                  rng.uniformValues(static_cast<size_t>(embd * nVocab), std::sqrt(3.0f)));
    for (uint32_t b = 0; b < shape.blockCount; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        out.addTensor(p + "attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd},
                          rng.uniformValues(static_cast<size_t>(embd * embd), layerScale(shape.embeddingLength)));
        }
        out.addTensor(p + "ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ffn_gate.weight", GGML_TYPE_F16, {embd, ff},
                      rng.uniformValues(static_cast<size_t>(embd * ff), layerScale(shape.embeddingLength)));
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff},
                      rng.uniformValues(static_cast<size_t>(embd * ff), layerScale(shape.embeddingLength)));
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd},
                      rng.uniformValues(static_cast<size_t>(ff * embd), layerScale(shape.feedForwardLength)));
    }
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    // Its own output matrix: tied to random embeddings the model would only
    // echo its input. Logits spread by about 2 so greedy picks are never
    // near-ties that rounding could flip between thread counts.
    out.addTensor("output.weight", GGML_TYPE_F16, {embd, nVocab},
                  rng.uniformValues(static_cast<size_t>(embd * nVocab), 0.25f * std::sqrt(3.0f)));
    return out.writeTo(path);
}

}  // namespace kit
