// Chat engine throughput: prefill a 256-token prompt and generate 512 tokens
// greedily through MivrelLLMEngine (fetchNextToken, the path every chat
// request takes) and through a plain libllama loop with the same model,
// context and sampler settings, in the same run. The two alternate order
// every round; prints tokens/s of both (median with min and max, and the
// best round) and their ratios (engine / plain; the target is 0.97 or more).
//
// The model is written at start into a temporary folder with the test-model
// kit's GGUF writer: llama architecture, 8 layers, n_embd 512, 8 heads,
// n_ff 1376, F16, random weights from a fixed seed. Marker tokens get zero
// output rows, so greedy decoding never picks an end token and both loops
// run the full 512 tokens.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <llama.h>

#include "bench_model.h"
#include "common/machine_load.h"
#include "common/rounds.h"
#include "engine/llama_handles.h"
#include "engine/mivrel_llm_engine.h"

namespace {

using namespace bench;

constexpr int kDefaultRounds = 12;

// The loop of llama.cpp's own simple example, with the engine's context
// parameters and sampler steps.
Figures runPlain(llama_context* ctx, const std::vector<int32_t>& prompt) {
    const llama_vocab* vocab = llama_model_get_vocab(llama_get_model(ctx));
    llama_memory_clear(llama_get_memory(ctx), true);
    LlamaSamplerPtr chain(llama_sampler_chain_init(llama_sampler_chain_default_params()));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_top_k(1));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_temp(0.0f));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_dist(1));

    Figures f;
    std::vector<int32_t> tokens = prompt;
    auto start = Clock::now();
    if (llama_decode(ctx, llama_batch_get_one(tokens.data(), static_cast<int32_t>(tokens.size()))) != 0) return f;
    f.prefillSeconds = secondsSince(start);
    start = Clock::now();
    std::string text;
    char buf[1023];
    for (int i = 0; i < kGenerateTokens; ++i) {
        llama_token t = llama_sampler_sample(chain.get(), ctx, -1);
        if (llama_vocab_is_eog(vocab, t)) break;
        const int32_t n = llama_token_to_piece(vocab, t, buf, sizeof(buf), 0, true);
        if (n > 0) text.append(buf, static_cast<size_t>(n));
        if (llama_decode(ctx, llama_batch_get_one(&t, 1)) != 0) break;
        ++f.generated;
    }
    f.generateSeconds = secondsSince(start);
    return f;
}

}  // namespace

int main() {
    bench::LoadAverageReport loadReport("engine_bench");
    char folderTemplate[] = "/tmp/brisvane-engine-bench-XXXXXX";
    if (!mkdtemp(folderTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderTemplate;
    const std::string modelPath = folder + "/bench-chat.gguf";
    if (!writeBenchModel(modelPath)) return 1;
    MivrelLLMEngine engine;
    loadBenchEngine(engine, modelPath);
    const std::vector<int32_t> prompt = benchPromptTokens();

    // The plain loop's own model and context, made exactly as the engine
    // makes them.
    llama_model_params mp = llama_model_default_params();
    mp.n_gpu_layers = 0;
    ggml_backend_dev_t noDevices[1] = {nullptr};
    mp.devices = noDevices;
    LlamaModelPtr model(llama_model_load_from_file(modelPath.c_str(), mp));
    llama_context_params cp = llama_context_default_params();
    const ContextSettings cs = benchContext();
    cp.n_ctx = static_cast<uint32_t>(cs.nCtx);
    cp.n_batch = static_cast<uint32_t>(cs.nBatch);
    cp.n_ubatch = static_cast<uint32_t>(cs.nUbatch);
    cp.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
    LlamaContextPtr ctx(model ? llama_init_from_model(model.get(), cp) : nullptr);
    if (!ctx) {
        std::fprintf(stderr, "cannot make the plain context\n");
        return 1;
    }

    // Warm both once; then rounds in alternating order.
    runEngine(engine, prompt);
    runPlain(ctx.get(), prompt);
    std::vector<double> enginePrefill, engineGen, plainPrefill, plainGen;  // tokens/s of each round
    auto complete = [](const char* side, const Figures& f) {
        if (f.generated == kGenerateTokens) return true;
        std::fprintf(stderr, "%s generated %d tokens, expected %d\n", side, f.generated, kGenerateTokens);
        return false;
    };
    const int rounds = bench::roundCount(kDefaultRounds);
    const bool ok = bench::alternateRounds(
        rounds,
        [&](int) {
            const Figures e = runEngine(engine, prompt);
            enginePrefill.push_back(kPromptTokens / e.prefillSeconds);
            engineGen.push_back(kGenerateTokens / e.generateSeconds);
            return complete("the engine", e);
        },
        [&](int) {
            const Figures p = runPlain(ctx.get(), prompt);
            plainPrefill.push_back(kPromptTokens / p.prefillSeconds);
            plainGen.push_back(kGenerateTokens / p.generateSeconds);
            return complete("the plain loop", p);
        });
    if (!ok) return 1;

    std::printf("model: llama, 8 layers, n_embd 512, F16, CPU; prompt %d tokens, %d generated greedily; %d round(s)\n",
                kPromptTokens, kGenerateTokens, rounds);
    auto report = [](const char* what, const std::vector<double>& engineRates, const std::vector<double>& plainRates) {
        const bench::Spread e = bench::spreadOf(engineRates);
        const bench::Spread p = bench::spreadOf(plainRates);
        std::printf("%s tok/s\n  engine         %s, best %.1f\n  plain libllama %s, best %.1f\n"
                    "  ratio %.3f of the medians, %.3f of the best\n",
                    what, bench::describe(e).c_str(), e.max, bench::describe(p).c_str(), p.max, e.median / p.median,
                    e.max / p.max);
    };
    report("prefill", enginePrefill, plainPrefill);
    report("generation", engineGen, plainGen);
    std::printf("target: ratio >= 0.97\n");

    std::filesystem::remove_all(folder);
    return 0;
}
