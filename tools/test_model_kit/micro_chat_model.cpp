#include "kit_models.h"
#include "kit_random.h"

namespace kit {

// The chat model at the smallest shape libllama still loads: one block, one
// head, a width of 4, F32 throughout. Its file is mostly vocabulary, which
// makes it a seed that a fuzzer can mutate quickly.
bool writeMicroChatModel(const std::string& path, const Vocabulary& vocab) {
    ChatModelShape shape;
    shape.embeddingLength = 4;
    shape.blockCount = 1;
    shape.headCount = 1;
    shape.feedForwardLength = 4;
    const int64_t embd = shape.embeddingLength;
    const int64_t ff = shape.feedForwardLength;
    const int64_t nVocab = static_cast<int64_t>(vocab.tokens.size());

    GgufFileWriter out;
    writeLlamaMetadata(out, shape, vocab, "micro-chat");
    KitRandom rng(20261210);
    auto random = [&rng](int64_t count) { return rng.uniformValues(static_cast<size_t>(count), 1.0f); };
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_F32, {embd, nVocab}, random(embd * nVocab));
    out.addTensor("blk.0.attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
    for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
        out.addTensor(std::string("blk.0.") + m + ".weight", GGML_TYPE_F32, {embd, embd}, random(embd * embd));
    }
    out.addTensor("blk.0.ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("blk.0.ffn_gate.weight", GGML_TYPE_F32, {embd, ff}, random(embd * ff));
    out.addTensor("blk.0.ffn_up.weight", GGML_TYPE_F32, {embd, ff}, random(embd * ff));
    out.addTensor("blk.0.ffn_down.weight", GGML_TYPE_F32, {ff, embd}, random(ff * embd));
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("output.weight", GGML_TYPE_F32, {embd, nVocab}, random(embd * nVocab));
    return out.writeTo(path);
}

}  // namespace kit
