// The tiny decision model: a two-layer "bert" encoder with a WordPiece
// vocabulary, the decision metadata and the "systemone" prompt template.
// Its weights are random from a fixed seed; what tests rely on is that a
// prompt decodes in one batch and every token has an output row of
// n_embd columns, the first three of which are the choice, score and noul
// columns.
#include <cmath>
#include <string>
#include <vector>

#include "kit_models.h"
#include "kit_random.h"

namespace kit {
namespace {

constexpr uint32_t kEmbd = 32;
constexpr uint32_t kHeads = 2;
constexpr uint32_t kFeedForward = 64;
constexpr uint32_t kBlocks = 2;
constexpr uint32_t kContext = 512;

constexpr int32_t kTokenUnknown = 2;

// The converter's form of a WordPiece vocabulary as libllama reads it: a word
// start carries the phantom-space prefix U+2581, a continuation piece none.
const std::string kWordStart = "\xE2\x96\x81";

// Words kept whole so prompts stay short; everything else spells out in
// single characters.
const std::vector<std::string> kWholeWords = {
    "choice", "score", "noul", "question", "level", "yes", "no", "the", "statement", "holds", "does", "not",
    "hold", "which", "fits", "red", "blue", "warm", "colours", "sunny", "day", "good", "bad", "is", "it", "true",
    "false", "pick", "one", "umbrella", "hat", "rainy", "sky", "poor", "great", "fine"};

// The template the prompt renderer takes its pieces from: the text before
// "{{ type }} question: " is the classification prefix, and the options loop
// starts with the mask text and a blank.
constexpr const char* kSystemOneTemplate =
    "[CLS]{{ type }} question: {{ instructions }}[SEP]"
    "{% for o in options %}[MASK] "
    "{% if type == 'score' %}level {{ o.key }}: {{ o.value }}"
    "{% else %}{{ o.key }}{% if o.value %}: {{ o.value }}{% endif %}{% endif %}"
    "{% endfor %}[SEP]{{ context }}[SEP]";

struct DecisionVocabulary {
    std::vector<std::string> tokens;
    std::vector<int32_t> types;
};

DecisionVocabulary buildDecisionVocabulary() {
    DecisionVocabulary v;
    auto add = [&v](const std::string& text, int32_t type) {
        v.tokens.push_back(text);
        v.types.push_back(type);
    };
    // Ids 0..4, in the order the test facts name them.
    add("[PAD]", kTokenControl);
    add("[UNK]", kTokenUnknown);
    add("[CLS]", kTokenControl);
    add("[SEP]", kTokenControl);
    add("[MASK]", kTokenControl);
    for (char c = 'a'; c <= 'z'; ++c) add(kWordStart + std::string(1, c), kTokenNormal);
    for (char c = '0'; c <= '9'; ++c) add(kWordStart + std::string(1, c), kTokenNormal);
    // Punctuation is always a word of its own.
    for (char c : std::string("!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")) add(kWordStart + std::string(1, c), kTokenNormal);
    for (char c = 'a'; c <= 'z'; ++c) add(std::string(1, c), kTokenNormal);
    for (char c = '0'; c <= '9'; ++c) add(std::string(1, c), kTokenNormal);
    for (const std::string& w : kWholeWords) add(kWordStart + w, kTokenNormal);
    return v;
}

float layerScale(uint32_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); }

}  // namespace

bool writeTinyDecisionModel(const std::string& path) {
    const DecisionVocabulary vocab = buildDecisionVocabulary();
    const int64_t embd = kEmbd;
    const int64_t ff = kFeedForward;
    const int64_t nVocab = static_cast<int64_t>(vocab.tokens.size());

    GgufFileWriter out;
    out.setString("general.architecture", "bert");
    out.setString("general.name", "tiny-decision");
    out.setU32("general.file_type", 1);
    out.setU32("bert.context_length", kContext);
    out.setU32("bert.embedding_length", kEmbd);
    out.setU32("bert.block_count", kBlocks);
    out.setU32("bert.feed_forward_length", kFeedForward);
    out.setU32("bert.attention.head_count", kHeads);
    out.setF32("bert.attention.layer_norm_epsilon", 1e-12f);
    out.setBool("bert.attention.causal", false);
    // Classification pooling, as a sentence classifier ships it: the engine
    // must turn pooling off to read per-token rows.
    out.setU32("bert.pooling_type", 2);

    out.setString("bert.decision.type", "virl");
    out.setU32("bert.decision.max_head_tokens", 128);
    out.setF32("bert.decision.temperature.choice", 0.5f);
    out.setF32("bert.decision.temperature.choice.3_5", 0.25f);
    out.setF32("bert.decision.temperature.score", 2.0f);

    out.setString("tokenizer.ggml.model", "bert");
    out.setStringArray("tokenizer.ggml.tokens", vocab.tokens);
    out.setI32Array("tokenizer.ggml.token_type", vocab.types);
    out.setU32("tokenizer.ggml.token_type_count", 2);
    out.setU32("tokenizer.ggml.padding_token_id", 0);
    out.setU32("tokenizer.ggml.unknown_token_id", 1);
    out.setU32("tokenizer.ggml.bos_token_id", 2);
    out.setU32("tokenizer.ggml.cls_token_id", 2);
    out.setU32("tokenizer.ggml.seperator_token_id", 3);
    out.setU32("tokenizer.ggml.mask_token_id", 4);
    out.setString("tokenizer.chat_template.systemone", kSystemOneTemplate);

    KitRandom rng(20240923);
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    const std::vector<float> zeros(static_cast<size_t>(embd), 0.0f);
    auto uniform = [&rng](int64_t count, float scale) { return rng.uniformValues(static_cast<size_t>(count), scale); };

    out.addTensor("token_embd.weight", GGML_TYPE_F16, {embd, nVocab}, uniform(embd * nVocab, std::sqrt(3.0f)));
    out.addTensor("token_types.weight", GGML_TYPE_F32, {embd, 2}, uniform(embd * 2, 0.1f));
    out.addTensor("position_embd.weight", GGML_TYPE_F16, {embd, kContext}, uniform(embd * kContext, 0.5f));
    out.addTensor("token_embd_norm.weight", GGML_TYPE_F32, {embd}, ones);
    out.addTensor("token_embd_norm.bias", GGML_TYPE_F32, {embd}, zeros);
    for (uint32_t b = 0; b < kBlocks; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd}, uniform(embd * embd, layerScale(kEmbd)));
            out.addTensor(p + m + ".bias", GGML_TYPE_F32, {embd}, zeros);
        }
        out.addTensor(p + "attn_output_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "attn_output_norm.bias", GGML_TYPE_F32, {embd}, zeros);
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff}, uniform(embd * ff, layerScale(kEmbd)));
        out.addTensor(p + "ffn_up.bias", GGML_TYPE_F32, {ff}, std::vector<float>(static_cast<size_t>(ff), 0.0f));
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd}, uniform(ff * embd, layerScale(kFeedForward)));
        out.addTensor(p + "ffn_down.bias", GGML_TYPE_F32, {embd}, zeros);
        out.addTensor(p + "layer_output_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "layer_output_norm.bias", GGML_TYPE_F32, {embd}, zeros);
    }
    return out.writeTo(path);
}

}  // namespace kit
