#include "engine/mivrel_llama_engine.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "base/logger.h"
#include "engine/gguf_load_check.h"
#include "engine/kv_cache_estimate.h"
#include "engine/kv_cache_type.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_params.h"
#include "engine/model_capabilities.h"
#include "engine/piecewise_tokenizer.h"
#include "engine/token_piece.h"

namespace {

constexpr uint64_t kVramWorkBytes = 805306368ULL;  // 768 MiB of compute buffers

uint64_t fileSizeOrZero(const std::string& path) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

}  // namespace

std::string resolveModelFile(const ModelLoadSettings& settings, const std::string& role) {
    const nlohmann::json& props = settings.modelProperties;
    if (!props.is_object()) return "";
    auto files = props.find("files");
    if (files == props.end() || !files->is_object()) return "";
    auto entry = files->find(role);
    if (entry == files->end() || !entry->is_string()) return "";
    const std::string name = entry->get<std::string>();
    if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        name.find("..") != std::string::npos) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "invalid file name in files.%s: %s", role.c_str(), name.c_str());
    }
    return (std::filesystem::path(settings.modelDir) / name).string();
}

MivrelLlamaEngine::MivrelLlamaEngine() { initLlamaBackendOnce(); }

MivrelLlamaEngine::~MivrelLlamaEngine() {
    // Not through the virtual freeContext: a subclass is already gone here.
    context_.reset();
    nPast_ = 0;
    projector_.reset();
    model_.reset();
}

void MivrelLlamaEngine::loadModel(const ModelLoadSettings& settings) {
    if (model_) {
        logMessage(2, "[MivrelEngine] 이미 모델이 로드되어 있습니다. 먼저 unloadModel() 호출 필요");
        return;
    }
    loadSettings_ = settings;
    const std::string file = resolveModelFile(settings, "model");
    if (!file.empty()) loadSettings_.modelPath = file;
    // The library aborts the whole process on some malformed files, and would
    // block on a FIFO: such a file fails here like any file it cannot load.
    std::string refusal;
    if (!checkGgufForLoader(loadSettings_.modelPath, refusal)) {
        logMessage(1, "[MivrelEngine] model file refused before load: %s (%s)", loadSettings_.modelPath.c_str(),
                   refusal.c_str());
        throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load model: %s", loadSettings_.modelPath.c_str());
    }

    llama_model_params params = llama_model_default_params();
    params.n_gpu_layers = loadSettings_.nGpuLayers;
    std::string description = "auto (llama.cpp default)";
    gpuDevice_ = nullptr;
    int loggedLayers = loadSettings_.nGpuLayers;

    // Device lists end with a null entry; they must outlive the load call.
    ggml_backend_dev_t noDevices[1] = {nullptr};
    ggml_backend_dev_t chosenDevices[2] = {nullptr, nullptr};
    const std::string& placement = loadSettings_.placement;
    if (placement == "cpu") {
        params.n_gpu_layers = 0;
        params.devices = noDevices;
        description = "CPU";
        loggedLayers = 0;
    } else if (placement != "auto") {
        const std::vector<GpuDevice> devices = listGpuDevices();
        GpuDevice chosen;
        std::string error;
        if (!resolveGpuPlacement(placement, devices, chosen, error)) throw MivrelException(MivrelErrorCode::LoadFailed, "%s", error.c_str());
        checkVramBudget(chosen, loadSettings_.modelPath);
        chosenDevices[0] = chosen.device;
        params.devices = chosenDevices;
        params.split_mode = LLAMA_SPLIT_MODE_NONE;
        params.main_gpu = 0;
        gpuDevice_ = chosen.device;
        description = "gpu" + std::to_string(chosen.index) + " " + chosen.name + " (" + chosen.description +
                      "), split_mode=none";
    }

    logMessage(4, "[MivrelEngine] 모델 로드 시작: %s (placement=%s \xE2\x86\x92 %s, n_gpu_layers=%d)",
               loadSettings_.modelPath.c_str(), placement.c_str(), description.c_str(), loggedLayers);
    model_.reset(llama_model_load_from_file(loadSettings_.modelPath.c_str(), params));
    if (!model_) throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load model: %s", loadSettings_.modelPath.c_str());
    logMessage(4, "[MivrelEngine] 모델 로드 완료: %s", loadSettings_.modelPath.c_str());
    longestTokenBytes_ = 0;
    const llama_vocab* words = llama_model_get_vocab(model_.get());
    tokenizesInPieces_ = tokenizesInPieces(words);
    for (int32_t t = 0, n = words ? llama_vocab_n_tokens(words) : 0; t < n; ++t) {
        const char* text = llama_vocab_get_text(words, t);
        if (text) longestTokenBytes_ = std::max(longestTokenBytes_, std::strlen(text));
    }

    try {
        loadProjector();
    } catch (...) {
        projector_.reset();
        model_.reset();
        throw;
    }
}

void MivrelLlamaEngine::checkVramBudget(const GpuDevice& device, const std::string& modelFile) const {
    if (device.freeBytes == 0 && device.totalBytes == 0) {
        logMessage(2, "[MivrelEngine] gpu%d(%s) 가 메모리를 보고하지 않음 \xE2\x80\x94 VRAM 사전 검사 생략", device.index,
                   device.name.c_str());
        return;
    }
    const nlohmann::json params = loadSettings_.params.is_object() ? loadSettings_.params : nlohmann::json::object();
    const nlohmann::json& props = loadSettings_.modelProperties;
    const int layers = modelLayerCount(props);
    const int ngl = loadSettings_.nGpuLayers;
    double fraction = 1.0;
    if (ngl >= 0 && layers >= 1 && ngl <= layers) fraction = static_cast<double>(ngl) / (layers + 1);

    const uint64_t weights = static_cast<uint64_t>(static_cast<double>(fileSizeOrZero(modelFile)) * fraction);
    auto boolOr = [&params](const char* key, bool fallback) {
        auto it = params.find(key);
        return it != params.end() && it->is_boolean() ? it->get<bool>() : fallback;
    };
    auto intOr = [&params](const char* key, int fallback) {
        auto it = params.find(key);
        return it != params.end() && it->is_number_integer() ? it->get<int>() : fallback;
    };
    auto textOr = [&params](const char* key, const char* fallback) {
        auto it = params.find(key);
        return it != params.end() && it->is_string() ? it->get<std::string>() : std::string(fallback);
    };
    const bool offload = boolOr("offload_kv", true);
    const int nCtx = clampContextSize(intOr("n_ctx", 4096), props);
    uint64_t kv = 0;
    if (offload) {
        kv = estimateKvCacheBytes(props, nCtx, intOr("n_ubatch", 512), textOr("cache_type_k", "f16"),
                                  textOr("cache_type_v", "f16"));
        if (fraction < 1.0) kv = static_cast<uint64_t>(static_cast<double>(kv) * fraction);
    }
    uint64_t vision = 0;
    const std::string mmproj = resolveModelFile(loadSettings_, "mmproj");
    if (!mmproj.empty() && multimodalEnabled(params) && ngl != 0) vision = fileSizeOrZero(mmproj);
    const uint64_t need = weights + kv + vision + kVramWorkBytes;

    logMessage(4,
               "[MivrelEngine] VRAM 사전 검사 gpu%d(%s): 필요(추정) %s = 가중치 %s + KV %s (n_ctx=%d) + 비전 %s + 작업 %s, "
               "남은 %s / 전체 %s",
               device.index, device.name.c_str(), formatGiB(need).c_str(), formatGiB(weights).c_str(),
               formatGiB(kv).c_str(), nCtx, formatGiB(vision).c_str(), formatGiB(kVramWorkBytes).c_str(),
               formatGiB(device.freeBytes).c_str(), formatGiB(device.totalBytes).c_str());
    if (need > device.freeBytes) {
        throw MivrelException(MivrelErrorCode::LoadFailed,
                              "not enough VRAM on gpu%d (%s): estimated need %s (weights %s + KV cache %s + vision %s + "
                              "work %s), free %s - lower n_ctx or n_gpu_layers, set \"multimodal\": false, or use "
                              "\"placement\": \"auto\"",
                              device.index, device.description.c_str(), formatGiB(need).c_str(),
                              formatGiB(weights).c_str(), formatGiB(kv).c_str(), formatGiB(vision).c_str(),
                              formatGiB(kVramWorkBytes).c_str(), formatGiB(device.freeBytes).c_str());
    }
}

void MivrelLlamaEngine::loadProjector() {
    const std::string path = resolveModelFile(loadSettings_, "mmproj");
    if (path.empty()) return;
    if (!multimodalEnabled(loadSettings_.params)) {
        logMessage(4, "[MivrelEngine] multimodal=false \xE2\x80\x94 이미지 인코더를 로드하지 않음 (텍스트 전용): %s",
                   path.c_str());
        return;
    }
    // Errors other than "missing" propagate as the file-system error.
    if (!std::filesystem::is_regular_file(path)) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "model file not found (files.mmproj): %s", path.c_str());
    }
    mtmd_context_params params = mtmd_context_params_default();
    params.use_gpu = loadSettings_.nGpuLayers != 0;
    params.device = gpuDevice_;
    params.print_timings = false;
    const nlohmann::json& p = loadSettings_.params;
    if (p.is_object()) {
        auto it = p.find("image_max_tokens");
        if (it != p.end() && it->is_number_integer() && it->get<int64_t>() > 0) {
            params.image_max_tokens = static_cast<int>(it->get<int64_t>());
        }
    }
    logMessage(4, "[MivrelEngine] 이미지 인코더 로드 시작: %s", path.c_str());
    projector_.reset(mtmd_init_from_file(path.c_str(), model_.get(), params));
    if (!projector_) throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load vision projector (files.mmproj): %s", path.c_str());
    if (!mtmd_support_vision(projector_.get())) {
        projector_.reset();
        throw MivrelException(MivrelErrorCode::LoadFailed, "files.mmproj has no vision encoder: %s", path.c_str());
    }
    logMessage(4, "[MivrelEngine] 이미지 인코더 로드 완료 (vision=true, audio=%s, audio_sample_rate=%d)",
               mtmd_support_audio(projector_.get()) ? "true" : "false", mtmd_get_audio_sample_rate(projector_.get()));
}

void MivrelLlamaEngine::initContext(const ContextSettings& settings) {
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    freeContext();
    contextSettings_ = settings;
    const int32_t train = llama_model_n_ctx_train(model_.get());
    if (train > 0 && train < contextSettings_.nCtx) {
        logMessage(2, "[MivrelEngine] n_ctx %d > 모델 학습 context %d \xE2\x86\x92 %d 로 줄임", contextSettings_.nCtx, train,
                   train);
        contextSettings_.nCtx = train;
    }
    llama_context_params params = llama_context_default_params();
    params.n_ctx = static_cast<uint32_t>(contextSettings_.nCtx);
    params.n_batch = static_cast<uint32_t>(settings.nBatch);
    params.n_ubatch = static_cast<uint32_t>(settings.nUbatch);
    params.offload_kqv = settings.offloadKv;
    params.type_k = cacheTypeFromName(settings.cacheTypeK);
    params.type_v = cacheTypeFromName(settings.cacheTypeV);
    if (settings.nThreads >= 1) params.n_threads = settings.nThreads;
    if (settings.nThreadsBatch >= 1) params.n_threads_batch = settings.nThreadsBatch;
    adjustContextParams(params);
    // The instance's own choice wins over the engine's.
    if (settings.flashAttn == "on") params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_ENABLED;
    else if (settings.flashAttn == "off") params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_DISABLED;
    else if (settings.flashAttn == "auto") params.flash_attn_type = LLAMA_FLASH_ATTN_TYPE_AUTO;

    logMessage(4,
               "[MivrelEngine] 컨텍스트 초기화: n_ctx=%u n_batch=%u n_ubatch=%u offload_kv=%s flash_attn=%s type_k=%s "
               "type_v=%s",
               params.n_ctx, params.n_batch, params.n_ubatch, params.offload_kqv ? "true" : "false",
               llama_flash_attn_type_name(params.flash_attn_type), ggml_type_name(params.type_k),
               ggml_type_name(params.type_v));
    context_.reset(llama_init_from_model(model_.get(), params));
    if (!context_) throw MivrelException(MivrelErrorCode::ContextFailed, "failed to initialize context");
    nPast_ = 0;
    onContextCreated();
    logMessage(4, "[MivrelEngine] 컨텍스트 초기화 완료");
}

void MivrelLlamaEngine::unloadModel() {
    freeContext();
    projector_.reset();
    if (model_) {
        logMessage(4, "[MivrelEngine] 모델 해제 시작: %s", loadSettings_.modelPath.c_str());
        model_.reset();
        logMessage(4, "[MivrelEngine] 모델 해제 완료: %s", loadSettings_.modelPath.c_str());
    }
}

void MivrelLlamaEngine::adjustContextParams(llama_context_params&) {}

void MivrelLlamaEngine::onContextCreated() {}

void MivrelLlamaEngine::freeContext() {
    context_.reset();
    nPast_ = 0;
}

ContextStats MivrelLlamaEngine::getContextStats() {
    ContextStats stats;
    if (!context_) return stats;
    stats.nCtx = static_cast<int32_t>(llama_n_ctx(context_.get()));
    stats.nPast = nPast_;
    const llama_pos maxPos = llama_memory_seq_pos_max(llama_get_memory(context_.get()), 0);
    stats.usedCells = maxPos >= 0 ? static_cast<int64_t>(maxPos) + 1 : 0;
    stats.stateBytes = static_cast<int64_t>(llama_state_get_size(context_.get()));
    return stats;
}

int MivrelLlamaEngine::nPast() { return context_ ? nPast_ : 0; }

int MivrelLlamaEngine::nCtx() { return context_ ? static_cast<int>(llama_n_ctx(context_.get())) : 0; }

size_t MivrelLlamaEngine::maxInputBytes() {
    const int n = nCtx();
    if (n <= 0 || longestTokenBytes_ == 0) return SIZE_MAX;
    // A token stands for at most its text's bytes (byte-level and SentencePiece
    // texts are never shorter than the bytes they decode to), so a text longer
    // than this needs more tokens than the context holds.
    return static_cast<size_t>(n) * longestTokenBytes_;
}

namespace {

// The counting pass sizes the output exactly; the library reports a count
// that does not fit as a negative number.
std::vector<int32_t> tokenizeTwice(const llama_vocab* vocab, std::string_view text, bool addSpecial,
                                   bool parseSpecial, int32_t& secondResult) {
    const int32_t counted =
        llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), nullptr, 0, addSpecial, parseSpecial);
    std::vector<int32_t> tokens(static_cast<size_t>(counted < 0 ? -static_cast<int64_t>(counted) : counted));
    secondResult = llama_tokenize(vocab, text.data(), static_cast<int32_t>(text.size()), tokens.data(),
                                  static_cast<int32_t>(tokens.size()), addSpecial, parseSpecial);
    if (secondResult >= 0) tokens.resize(static_cast<size_t>(secondResult));
    return tokens;
}

}  // namespace

void MivrelLlamaEngine::throwIfStopped() const {
    if (abortFlag && abortFlag->load()) throw MivrelException(MivrelErrorCode::RuntimeFailed, "tokenize stopped");
}

std::vector<int32_t> MivrelLlamaEngine::tokenizeStoppable(const std::string& text, bool addSpecial,
                                                          bool parseSpecial, int32_t& result) const {
    throwIfStopped();
    if (text.size() <= tokenizePieceBytes_ || !tokenizesInPieces_) {
        return tokenizeTwice(vocab(), text, addSpecial, parseSpecial, result);
    }
    std::vector<int32_t> tokens;
    const std::string_view whole(text);
    size_t from = 0;
    while (from < whole.size()) {
        const size_t to = nextPieceBoundary(whole, from + tokenizePieceBytes_);
        // Only the first piece gets the start token; the vocabulary adds no end token.
        std::vector<int32_t> piece =
            tokenizeTwice(vocab(), whole.substr(from, to - from), addSpecial && from == 0, parseSpecial, result);
        if (result < 0) return tokens;
        tokens.insert(tokens.end(), piece.begin(), piece.end());
        from = to;
        if (from < whole.size()) throwIfStopped();
    }
    result = static_cast<int32_t>(std::min<size_t>(tokens.size(), INT32_MAX));
    return tokens;
}

std::vector<int32_t> MivrelLlamaEngine::tokenizePrompt(const std::string& prompt, const TokenCallback& onToken) {
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    int32_t result = 0;
    std::vector<int32_t> tokens = tokenizeStoppable(prompt, true, true, result);
    if (result < 0) throw MivrelException(MivrelErrorCode::LimitExceeded, "tokenize failed: prompt is too long (ret=%d)", result);
    logMessage(4, "[MivrelEngine] 토크나이즈 완료: %zu 토큰", tokens.size());
    logMessage(4, "[MivrelEngine][RAW IN] rawPrompt:\n%s", prompt.c_str());
    if (onToken) {
        for (int32_t t : tokens) onToken(t, tokenText(t));
    }
    return tokens;
}

std::vector<int32_t> MivrelLlamaEngine::tokenizeText(const std::string& text, bool addSpecial, bool parseSpecial) {
    if (!model_) throw MivrelException(MivrelErrorCode::NotLoaded, "model is not loaded");
    int32_t result = 0;
    std::vector<int32_t> tokens = tokenizeStoppable(text, addSpecial, parseSpecial, result);
    if (result < 0) throw MivrelException(MivrelErrorCode::LimitExceeded, "tokenize failed (ret=%d)", result);
    return tokens;
}

bool MivrelLlamaEngine::supportsImageInput() { return projector_ != nullptr; }

bool MivrelLlamaEngine::supportsAudioInput() { return projector_ && mtmd_support_audio(projector_.get()); }

const llama_vocab* MivrelLlamaEngine::vocab() const { return model_ ? llama_model_get_vocab(model_.get()) : nullptr; }

std::string MivrelLlamaEngine::tokenText(int32_t token) const {
    if (!model_) return "";
    std::string text;
    tokenPieceText(vocab(), token, text);
    return text;
}

std::string MivrelLlamaEngine::metaString(const std::string& key) const {
    if (!model_) return "";
    std::vector<char> buf(1024);
    int32_t n = llama_model_meta_val_str(model_.get(), key.c_str(), buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) >= buf.size()) {
        buf.resize(static_cast<size_t>(n) + 1);
        n = llama_model_meta_val_str(model_.get(), key.c_str(), buf.data(), buf.size());
        if (n < 0) return "";
    }
    return std::string(buf.data(), std::min(static_cast<size_t>(n), buf.size() - 1));
}
