#include <cstdio>
#include <map>

#include "chat_scripts.h"
#include "kit_models.h"

namespace kit {
namespace {

// Weight of a transition in output.weight. After the final RMS norm a one-hot
// embedding is sqrt(64) = 8 in its dimension, so the scripted successor's
// logit is 32 and every other is 0: far beyond what temperature, top-k, top-p
// and repeat penalties can overturn.
constexpr float kTransitionWeight = 4.0f;

}  // namespace

bool writeScriptedChatModel(const std::string& path, const Vocabulary& vocab) {
    return writeScriptedChatModel(path, vocab, chatScripts(), "scripted-chat");
}

bool writeScriptedChatModel(const std::string& path, const Vocabulary& vocab, const std::vector<ChatScript>& scripts,
                            const std::string& name, const ChatModelShape& shape) {
    const int64_t embd = shape.embeddingLength;
    const int64_t ff = shape.feedForwardLength;
    const int64_t nVocab = static_cast<int64_t>(vocab.tokens.size());
    const Transitions transitions = buildTransitions(vocab, scripts);

    // Dimension 0 stands for every token without a script entry; each scripted
    // token gets a dimension of its own.
    if (static_cast<int64_t>(transitions.from.size()) + 1 > embd) {
        std::fprintf(stderr, "make_test_models: %zu scripted tokens do not fit %lld dimensions\n",
                     transitions.from.size(), static_cast<long long>(embd));
        return false;
    }
    std::map<int32_t, int64_t> dimensionOf;
    for (size_t i = 0; i < transitions.from.size(); ++i) {
        dimensionOf[transitions.from[i]] = static_cast<int64_t>(i) + 1;
    }

    std::vector<float> embeddings(static_cast<size_t>(embd * nVocab), 0.0f);
    for (int64_t token = 0; token < nVocab; ++token) {
        auto it = dimensionOf.find(static_cast<int32_t>(token));
        const int64_t dim = it == dimensionOf.end() ? 0 : it->second;
        embeddings[static_cast<size_t>(token * embd + dim)] = 1.0f;
    }
    // Row `to` of output.weight scores `to` as the successor of the token whose
    // dimension carries the weight.
    std::vector<float> output(static_cast<size_t>(embd * nVocab), 0.0f);
    output[static_cast<size_t>(transitions.fallback * embd + 0)] = kTransitionWeight;
    for (size_t i = 0; i < transitions.from.size(); ++i) {
        const int64_t to = transitions.to[i];
        output[static_cast<size_t>(to * embd + dimensionOf[transitions.from[i]])] = kTransitionWeight;
    }

    GgufFileWriter out;
    writeLlamaMetadata(out, shape, vocab, name);
    // Zero attention and feed-forward weights leave the residual stream equal
    // to the current token's embedding, whatever came before it.
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    const std::vector<float> zeroSquare(static_cast<size_t>(embd * embd), 0.0f);
    const std::vector<float> zeroFf(static_cast<size_t>(embd * ff), 0.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_F16, {embd, nVocab}, embeddings);
    for (uint32_t b = 0; b < shape.blockCount; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        out.addTensor(p + "attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd}, zeroSquare);
        }
        out.addTensor(p + "ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ffn_gate.weight", GGML_TYPE_F16, {embd, ff}, zeroFf);
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff}, zeroFf);
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd}, zeroFf);
    }
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("output.weight", GGML_TYPE_F16, {embd, nVocab}, output);
    return out.writeTo(path);
}

}  // namespace kit
