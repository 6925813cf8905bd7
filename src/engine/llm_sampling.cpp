// MivrelLLMEngine: the sampling values, the sampler chain and the options a
// request may change.
#include <algorithm>
#include <cmath>

#include "base/logger.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_llm_engine.h"

namespace {

double round4(double value) { return std::round(value * 10000.0) / 10000.0; }

struct NumberKey {
    const char* key;
    double lowest;
    double highest;
};

struct IntegerKey {
    const char* key;
    long long lowest;
    long long highest;
};

// A present, non-null member of `options`, or null.
const nlohmann::json* present(const nlohmann::json& options, const char* key) {
    auto it = options.find(key);
    if (it == options.end() || it->is_null()) return nullptr;
    return &*it;
}

double takeNumber(const nlohmann::json& options, const NumberKey& k, double current) {
    const nlohmann::json* v = present(options, k.key);
    if (!v) return current;
    if (!v->is_number()) throw MivrelException(MivrelErrorCode::BadInput, "\"%s\" must be a number between %g and %g", k.key, k.lowest, k.highest);
    const double d = v->get<double>();
    if (!(d >= k.lowest && d <= k.highest)) {
        throw MivrelException(MivrelErrorCode::BadInput, "\"%s\" must be a number between %g and %g", k.key, k.lowest, k.highest);
    }
    return d;
}

long long takeInteger(const nlohmann::json& options, const IntegerKey& k, long long current) {
    const nlohmann::json* v = present(options, k.key);
    if (!v) return current;
    auto refuse = [&k]() {
        return MivrelException(MivrelErrorCode::BadInput, "\"%s\" must be an integer between %lld and %lld", k.key, k.lowest, k.highest);
    };
    if (v->is_number_unsigned()) {
        const uint64_t u = v->get<uint64_t>();
        if (k.highest < 0 || u > static_cast<uint64_t>(k.highest)) throw refuse();
        const long long value = static_cast<long long>(u);
        if (value < k.lowest) throw refuse();
        return value;
    }
    if (!v->is_number_integer()) throw refuse();
    const long long value = v->get<long long>();
    if (value < k.lowest || value > k.highest) throw refuse();
    return value;
}

}  // namespace

void MivrelLLMEngine::loadSamplingDefaults() {
    temperature_ = contextSettings_.temperature;
    topK_ = contextSettings_.topK;
    topP_ = contextSettings_.topP;
    seed_ = contextSettings_.seed;
    repeatPenalty_ = contextSettings_.repeatPenalty;
    repeatLastN_ = contextSettings_.repeatLastN;
    maxTokens_ = contextSettings_.nPredict;

    minP_ = 0.0f;
    const nlohmann::json& params = loadSettings_.params;
    const nlohmann::json& props = loadSettings_.modelProperties;
    if (params.is_object() && params.contains("min_p") && params["min_p"].is_number()) {
        minP_ = params["min_p"].get<float>();
    } else if (props.is_object() && props.contains("genDefaults") && props["genDefaults"].is_object() &&
               props["genDefaults"].contains("min_p") && props["genDefaults"]["min_p"].is_number()) {
        minP_ = props["genDefaults"]["min_p"].get<float>();
    }
}

void MivrelLLMEngine::buildSamplerChain() {
    sampler_.reset();
    if (!context_) return;
    LlamaSamplerPtr chain(llama_sampler_chain_init(llama_sampler_chain_default_params()));
    if (repeatLastN_ > 0 && repeatPenalty_ > 1.0f) {
        llama_sampler_chain_add(chain.get(), llama_sampler_init_penalties(llama_vocab_n_tokens(vocab()), repeatLastN_,
                                                                          repeatPenalty_, 0.0f, 0.0f));
    }
    if (topK_ > 0) llama_sampler_chain_add(chain.get(), llama_sampler_init_top_k(topK_));
    if (topP_ < 1.0f) {
        llama_sampler_chain_add(chain.get(),
                                llama_sampler_init_top_p(topP_, static_cast<size_t>(std::max(0, contextSettings_.minKeep))));
    }
    if (minP_ > 0.0f) llama_sampler_chain_add(chain.get(), llama_sampler_init_min_p(minP_, 1));
    llama_sampler_chain_add(chain.get(), llama_sampler_init_temp(temperature_));
    const uint32_t seed = seed_ < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(seed_ & 0xFFFFFFFFLL);
    llama_sampler_chain_add(chain.get(), llama_sampler_init_dist(seed));
    sampler_ = std::move(chain);
    logMessage(9,
               "[MivrelEngine] 샘플러 초기화: temp=%.2f top_k=%d top_p=%.2f min_p=%.2f seed=%lld rep_penalty=%.2f "
               "rep_last_n=%d max_tokens=%d",
               temperature_, topK_, topP_, minP_, static_cast<long long>(seed_), repeatPenalty_, repeatLastN_,
               maxTokens_);
}

void MivrelLLMEngine::setSamplingOptions(const nlohmann::json& options) {
    if (!context_) throw MivrelException(MivrelErrorCode::RuntimeFailed, "context is not initialized");
    if (!options.is_object()) throw MivrelException(MivrelErrorCode::BadInput, "options must be an object");

    long long limit = std::min<long long>(static_cast<long long>(llama_n_ctx(context_.get())), kHardCap);
    const nlohmann::json& params = loadSettings_.params;
    if (params.is_object() && params.contains("limits") && params["limits"].is_object()) {
        const nlohmann::json& limits = params["limits"];
        auto it = limits.find("maxPredict");
        if (it != limits.end() && it->is_number_integer()) limit = std::min(limit, it->get<long long>());
    }

    // Every present key is checked before any value changes.
    const double temperature = takeNumber(options, {"temperature", 0, 2}, temperature_);
    const double topP = takeNumber(options, {"top_p", 0, 1}, topP_);
    const long long topK = takeInteger(options, {"top_k", 0, 1000000}, topK_);
    const double minP = takeNumber(options, {"min_p", 0, 1}, minP_);
    const long long seed = takeInteger(options, {"seed", -1, 4294967294LL}, seed_);
    const double repeatPenalty = takeNumber(options, {"repeat_penalty", 1, 2}, repeatPenalty_);
    const long long maxTokens = takeInteger(options, {"max_tokens", 1, limit}, maxTokens_);

    temperature_ = static_cast<float>(temperature);
    topP_ = static_cast<float>(topP);
    topK_ = static_cast<int32_t>(topK);
    minP_ = static_cast<float>(minP);
    seed_ = seed;
    repeatPenalty_ = static_cast<float>(repeatPenalty);
    maxTokens_ = static_cast<int32_t>(maxTokens);
    buildSamplerChain();
    logMessage(4, "[MivrelEngine] 샘플링 설정 적용: %s", getSamplingOptions().dump().c_str());
}

nlohmann::json MivrelLLMEngine::getSamplingOptions() {
    nlohmann::json out = nlohmann::json::object();
    out["temperature"] = round4(temperature_);
    out["top_p"] = round4(topP_);
    out["min_p"] = round4(minP_);
    out["repeat_penalty"] = round4(repeatPenalty_);
    out["top_k"] = topK_;
    out["max_tokens"] = maxTokens_;
    out["seed"] = static_cast<int64_t>(seed_);
    return out;
}

void MivrelLLMEngine::resetSampler() {
    loadSamplingDefaults();
    if (context_) buildSamplerChain();
}
