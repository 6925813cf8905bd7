// What the chat benchmarks share: the larger kit model they write at start
// and the engine loop they time (prefill, then greedy generation through
// fetchNextToken, the path every chat request takes).
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <llama.h>

#include "chat_scripts.h"
#include "engine/mivrel_llm_engine.h"
#include "gguf_file_writer.h"
#include "kit_models.h"
#include "kit_random.h"
#include "kit_vocabulary.h"

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr int kPromptTokens = 256;
constexpr int kGenerateTokens = 512;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// llama architecture, 8 layers, n_embd 512, 8 heads, n_ff 1376, F16, random
// weights from a fixed seed. Marker tokens get zero output rows, so greedy
// decoding never picks an end token and runs the full length. False when the
// file cannot be written.
inline bool writeBenchModel(const std::string& path) {
    const kit::Vocabulary vocab = kit::buildVocabulary(kit::scriptWords());
    kit::ChatModelShape shape;
    shape.contextLength = 1024;
    shape.embeddingLength = 512;
    shape.blockCount = 8;
    shape.headCount = 8;
    shape.feedForwardLength = 1376;
    const int64_t embd = shape.embeddingLength;
    const int64_t ff = shape.feedForwardLength;
    const int64_t nVocab = static_cast<int64_t>(vocab.tokens.size());

    kit::GgufFileWriter out;
    kit::writeLlamaMetadata(out, shape, vocab, "engine-bench");
    kit::KitRandom rng(77);
    auto scale = [](int64_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); };
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_F16, {embd, nVocab},
                  rng.uniformValues(static_cast<size_t>(embd * nVocab), std::sqrt(3.0f)));
    for (uint32_t b = 0; b < shape.blockCount; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        out.addTensor(p + "attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        for (const char* m : {"attn_q", "attn_k", "attn_v", "attn_output"}) {
            out.addTensor(p + m + ".weight", GGML_TYPE_F16, {embd, embd},
                          rng.uniformValues(static_cast<size_t>(embd * embd), scale(embd)));
        }
        out.addTensor(p + "ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        out.addTensor(p + "ffn_gate.weight", GGML_TYPE_F16, {embd, ff},
                      rng.uniformValues(static_cast<size_t>(embd * ff), scale(embd)));
        out.addTensor(p + "ffn_up.weight", GGML_TYPE_F16, {embd, ff},
                      rng.uniformValues(static_cast<size_t>(embd * ff), scale(embd)));
        out.addTensor(p + "ffn_down.weight", GGML_TYPE_F16, {ff, embd},
                      rng.uniformValues(static_cast<size_t>(ff * embd), scale(ff)));
    }
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    std::vector<float> output = rng.uniformValues(static_cast<size_t>(embd * nVocab), 0.25f * std::sqrt(3.0f));
    // Rows 256 .. 289 are the markers (end tokens among them): logit 0 keeps
    // them below the best of the random rows.
    for (int64_t row = 256; row < 290 && row < nVocab; ++row) {
        std::fill(output.begin() + row * embd, output.begin() + (row + 1) * embd, 0.0f);
    }
    out.addTensor("output.weight", GGML_TYPE_F16, {embd, nVocab}, output);
    return out.writeTo(path);
}

// The layout of Qwen3 0.6B (qwen3 architecture, 28 layers, n_embd 1024, 16
// query and 8 key/value heads of 128, n_ff 3072, a 151936-token vocabulary,
// Q8_0 weights) with random weights from a fixed seed: the compute and memory
// of a real small model, written at benchmark time. The kit's vocabulary is
// padded with word tokens to the full size; the output rows of the markers
// and of the bytes above 0x7F are zero, so greedy decoding never ends the
// turn and writes only whole characters. Keeps a separate output matrix
// (random tied embeddings would only repeat the input); it costs the same
// compute as the tied one. False when the file cannot be written.
inline bool writeQwen3ShapedModel(const std::string& path) {
    constexpr int64_t kVocab = 151936;
    constexpr int64_t embd = 1024, ff = 3072, heads = 16, kvHeads = 8, headDim = 128;
    constexpr uint32_t blocks = 28;
    kit::Vocabulary vocab = kit::buildVocabulary(kit::scriptWords());
    for (int64_t i = 0; static_cast<int64_t>(vocab.tokens.size()) < kVocab; ++i) {
        const std::string text = kit::toByteLevel(" w" + std::to_string(i));
        if (vocab.find(text) >= 0) continue;
        vocab.idByStoredText[text] = static_cast<int32_t>(vocab.tokens.size());
        vocab.tokens.push_back(text);
        vocab.types.push_back(kit::kTokenNormal);
    }

    kit::GgufFileWriter out;
    out.setString("general.architecture", "qwen3");
    out.setString("general.name", "qwen3-shaped-bench");
    out.setU32("general.file_type", 7);  // mostly Q8_0
    out.setU32("qwen3.context_length", 40960);
    out.setU32("qwen3.embedding_length", embd);
    out.setU32("qwen3.block_count", blocks);
    out.setU32("qwen3.feed_forward_length", ff);
    out.setU32("qwen3.attention.head_count", heads);
    out.setU32("qwen3.attention.head_count_kv", kvHeads);
    out.setU32("qwen3.attention.key_length", headDim);
    out.setU32("qwen3.attention.value_length", headDim);
    out.setF32("qwen3.attention.layer_norm_rms_epsilon", 1e-6f);
    out.setF32("qwen3.rope.freq_base", 1000000.0f);
    kit::writeTokenizerMetadata(out, vocab);

    kit::KitRandom rng(603);
    auto scale = [](int64_t fanIn) { return std::sqrt(3.0f / static_cast<float>(fanIn)); };
    auto matrix = [&](const std::string& name, int64_t in, int64_t outDim) {
        out.addTensor(name, GGML_TYPE_Q8_0, {in, outDim},
                      rng.uniformValues(static_cast<size_t>(in * outDim), scale(in)));
    };
    const std::vector<float> ones(static_cast<size_t>(embd), 1.0f);
    const std::vector<float> headOnes(static_cast<size_t>(headDim), 1.0f);
    out.addTensor("token_embd.weight", GGML_TYPE_Q8_0, {embd, kVocab},
                  rng.uniformValues(static_cast<size_t>(embd * kVocab), std::sqrt(3.0f)));
    for (uint32_t b = 0; b < blocks; ++b) {
        const std::string p = "blk." + std::to_string(b) + ".";
        out.addTensor(p + "attn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        matrix(p + "attn_q.weight", embd, heads * headDim);
        matrix(p + "attn_k.weight", embd, kvHeads * headDim);
        matrix(p + "attn_v.weight", embd, kvHeads * headDim);
        matrix(p + "attn_output.weight", heads * headDim, embd);
        out.addTensor(p + "attn_q_norm.weight", GGML_TYPE_F32, {headDim}, headOnes);
        out.addTensor(p + "attn_k_norm.weight", GGML_TYPE_F32, {headDim}, headOnes);
        out.addTensor(p + "ffn_norm.weight", GGML_TYPE_F32, {embd}, ones);
        matrix(p + "ffn_gate.weight", embd, ff);
        matrix(p + "ffn_up.weight", embd, ff);
        matrix(p + "ffn_down.weight", ff, embd);
    }
    out.addTensor("output_norm.weight", GGML_TYPE_F32, {embd}, ones);
    std::vector<float> output = rng.uniformValues(static_cast<size_t>(embd * kVocab), 0.25f * std::sqrt(3.0f));
    for (int64_t row = 128; row < 290; ++row) {
        std::fill(output.begin() + row * embd, output.begin() + (row + 1) * embd, 0.0f);
    }
    out.addTensor("output.weight", GGML_TYPE_Q8_0, {embd, kVocab}, output);
    return out.writeTo(path);
}

struct Figures {
    double prefillSeconds = 0;
    double generateSeconds = 0;
    int generated = 0;
};

inline ContextSettings benchContext() {
    ContextSettings c;
    c.nCtx = 1024;
    c.nBatch = 1024;
    c.nUbatch = 512;
    c.nPredict = kGenerateTokens;
    return c;
}

inline Figures runEngine(MivrelLLMEngine& engine, const std::vector<int32_t>& prompt) {
    engine.resetContext(benchContext());
    engine.setSamplingOptions({{"temperature", 0.0}, {"top_k", 1}, {"top_p", 1.0}, {"repeat_penalty", 1.0},
                               {"max_tokens", kGenerateTokens}, {"seed", 1}});
    Figures f;
    auto start = Clock::now();
    engine.startGeneration(prompt);
    f.prefillSeconds = secondsSince(start);
    start = Clock::now();
    std::string piece;
    while (engine.fetchNextToken(piece)) {
    }
    f.generateSeconds = secondsSince(start);
    f.generated = engine.getGenerationStats().generatedTokens;
    return f;
}

// Plain text: one token per byte with this vocabulary.
inline std::string benchPromptText() {
    const std::string words = "The quick brown fox jumps over the lazy dog. ";
    std::string text;
    while (text.size() < kPromptTokens) text.push_back(words[text.size() % words.size()]);
    return text;
}

inline std::vector<int32_t> benchPromptTokens() {
    std::vector<int32_t> prompt;
    for (unsigned char c : benchPromptText()) prompt.push_back(c);
    return prompt;
}

// Only llama.cpp's errors reach the console; its progress lines would mix
// with the figures.
inline void quietLog(ggml_log_level level, const char* text, void*) {
    if (level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

// Loads the bench model on the CPU into `engine` with the bench context,
// llama.cpp's progress lines silenced.
inline void loadBenchEngine(MivrelLLMEngine& engine, const std::string& modelPath) {
    llama_log_set(quietLog, nullptr);
    ModelLoadSettings load;
    load.placement = "cpu";
    load.nGpuLayers = 0;
    load.modelPath = modelPath;
    engine.loadModel(load);
    engine.initContext(benchContext());
}

}  // namespace bench
