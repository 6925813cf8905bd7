// Owners and small helpers the kit's smoke tests use to drive libllama and
// mtmd directly. Every handle has one owner; nothing outlives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "llama.h"
#include "mtmd.h"

namespace kittest {

struct ModelFree {
    void operator()(llama_model* m) const { llama_model_free(m); }
};
struct ContextFree {
    void operator()(llama_context* c) const { llama_free(c); }
};
struct SamplerFree {
    void operator()(llama_sampler* s) const { llama_sampler_free(s); }
};
struct MtmdFree {
    void operator()(mtmd_context* c) const { mtmd_free(c); }
};
struct BitmapFree {
    void operator()(mtmd_bitmap* b) const { mtmd_bitmap_free(b); }
};
struct ChunksFree {
    void operator()(mtmd_input_chunks* c) const { mtmd_input_chunks_free(c); }
};

using ModelPtr = std::unique_ptr<llama_model, ModelFree>;
using ContextPtr = std::unique_ptr<llama_context, ContextFree>;
using SamplerPtr = std::unique_ptr<llama_sampler, SamplerFree>;
using MtmdPtr = std::unique_ptr<mtmd_context, MtmdFree>;
using BitmapPtr = std::unique_ptr<mtmd_bitmap, BitmapFree>;
using ChunksPtr = std::unique_ptr<mtmd_input_chunks, ChunksFree>;

// Loads a generated model (CPU only); null when libllama refuses it. Keeps
// libllama's and mtmd's logs to errors.
ModelPtr loadTestModel(const std::string& fileName);

// A context of 512 tokens on `threads` threads; null on failure.
ContextPtr newContext(llama_model* model, int threads);

// `text` as tokens, without BOS; parseSpecial as llama_tokenize takes it.
std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text, bool parseSpecial);

// The bytes of one token, markers rendered.
std::string pieceOf(const llama_vocab* vocab, llama_token token);

// Greedy sampling.
SamplerPtr greedySampler();
// The server's default chain: repeat penalty 1.1 over the last 64 tokens,
// top_k 30, top_p 0.95, temperature 0.8, then a seeded draw.
SamplerPtr defaultChatSampler(const llama_vocab* vocab, uint32_t seed);

// Decodes `prompt` into an empty context, then samples up to `maxTokens`
// tokens, stopping after an end-of-generation token. The prompt is fed to the
// sampler first, as a server does for its repetition penalty. Fails the
// current test (and returns what it has) when a decode fails.
std::vector<llama_token> generate(llama_context* ctx, llama_sampler* sampler, const std::vector<llama_token>& prompt,
                                  int maxTokens);

}  // namespace kittest
