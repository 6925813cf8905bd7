#include "llama_test_support.h"

#include <gtest/gtest.h>

#include <mutex>

#include "support/test_paths.h"

namespace kittest {
namespace {

void quietLog(ggml_log_level level, const char* text, void*) {
    // Model loads warn about the GPT-OSS markers every time; only errors help here.
    if (level == GGML_LOG_LEVEL_ERROR) fputs(text, stderr);
}

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        llama_log_set(quietLog, nullptr);
        mtmd_log_set(quietLog, nullptr);
        llama_backend_init();
    });
}

}  // namespace

ModelPtr loadTestModel(const std::string& fileName) {
    initOnce();
    llama_model_params params = llama_model_default_params();
    params.n_gpu_layers = 0;
    return ModelPtr(llama_model_load_from_file(testModelPath(fileName).c_str(), params));
}

ContextPtr newContext(llama_model* model, int threads) {
    llama_context_params params = llama_context_default_params();
    params.n_ctx = 512;
    params.n_batch = 512;
    params.n_ubatch = 512;
    params.n_threads = threads;
    params.n_threads_batch = threads;
    return ContextPtr(llama_init_from_model(model, params));
}

std::vector<llama_token> tokenize(const llama_vocab* vocab, const std::string& text, bool parseSpecial) {
    std::vector<llama_token> tokens(text.size() + 8);
    int32_t n = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                               static_cast<int32_t>(tokens.size()), false, parseSpecial);
    EXPECT_GE(n, 0) << "tokenize failed for: " << text;
    tokens.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return tokens;
}

std::string pieceOf(const llama_vocab* vocab, llama_token token) {
    std::string buf(4096, '\0');
    const int32_t n = llama_token_to_piece(vocab, token, buf.data(), static_cast<int32_t>(buf.size()), 0, true);
    EXPECT_GE(n, 0) << "token_to_piece failed for " << token;
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
}

SamplerPtr greedySampler() { return SamplerPtr(llama_sampler_init_greedy()); }

SamplerPtr defaultChatSampler(const llama_vocab* vocab, uint32_t seed) {
    SamplerPtr chain(llama_sampler_chain_init(llama_sampler_chain_default_params()));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_penalties(llama_vocab_n_tokens(vocab), 64, 1.1f, 0.0f, 0.0f));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_top_k(30));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_top_p(0.95f, 1));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_temp(0.8f));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_dist(seed));
    return chain;
}

std::vector<llama_token> generate(llama_context* ctx, llama_sampler* sampler, const std::vector<llama_token>& prompt,
                                  int maxTokens) {
    std::vector<llama_token> out;
    llama_memory_clear(llama_get_memory(ctx), true);
    llama_sampler_reset(sampler);
    for (llama_token t : prompt) llama_sampler_accept(sampler, t);

    std::vector<llama_token> pending = prompt;
    const llama_vocab* vocab = llama_model_get_vocab(llama_get_model(ctx));
    for (int i = 0; i < maxTokens; ++i) {
        if (llama_decode(ctx, llama_batch_get_one(pending.data(), static_cast<int32_t>(pending.size()))) != 0) {
            ADD_FAILURE() << "llama_decode failed after " << out.size() << " tokens";
            return out;
        }
        const llama_token next = llama_sampler_sample(sampler, ctx, -1);
        out.push_back(next);
        if (llama_vocab_is_eog(vocab, next)) break;
        pending.assign(1, next);
    }
    return out;
}

}  // namespace kittest
