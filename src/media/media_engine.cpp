// Loading, unloading and describing a media model. The jobs are in
// media_jobs.cpp and media_video_job.cpp, the input schema in
// media_schema.cpp.
#include "media/media_engine.h"

#include <cctype>
#include <filesystem>
#include <set>

#include "base/logger.h"
#include "engine/gpu_devices.h"
#include "engine/model_capabilities.h"
#include "engine/mivrel_exception.h"
#include "media/media_job_lock.h"
#include "media/media_placement.h"
#include "media/safetensors_quant.h"
#include "media/sd_calls.h"
#include "platform/memory_status.h"
#include "storage/storage_format.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLoadDefaultKeys[] = {"offload_to_cpu", "flash_attn", "max_vram", "n_threads",
                                            "mmap",           "placement",  "weights"};
constexpr const char* kGenerationKeys[] = {"width",   "height",    "steps",      "cfg_scale", "sampler",
                                           "scheduler", "vae_tiling", "frames", "fps",       "temporal_tiling"};

nlohmann::json objectMember(const nlohmann::json& document, const char* key) {
    if (document.is_object()) {
        const auto it = document.find(key);
        if (it != document.end() && it->is_object()) return *it;
    }
    return nlohmann::json::object();
}

// A later document's members named in `keys` replace those of `base`.
template <size_t N>
void overlay(nlohmann::json& base, const nlohmann::json& params, const char* const (&keys)[N]) {
    if (!params.is_object()) return;
    for (const char* key : keys) {
        const auto it = params.find(key);
        if (it != params.end()) base[key] = *it;
    }
}

nlohmann::json memberOrNull(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() ? *it : nlohmann::json();
}

std::string lowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

}  // namespace

MivrelMediaEngine::MivrelMediaEngine(std::string familyType) : familyType_(std::move(familyType)) {}

MivrelMediaEngine::~MivrelMediaEngine() {
    unloadModel();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

void MivrelMediaEngine::initContext(const ContextSettings&) {}

ContextStats MivrelMediaEngine::getContextStats() { return ContextStats(); }

void MivrelMediaEngine::loadModel(const ModelLoadSettings& settings) {
    if (context_.load()) {
        logMessage(2, "[MediaEngine] 이미 모델이 로드되어 있습니다");
        return;
    }
    const SdLibrary& library = SdLibrary::instance();
    if (!library.loaded) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "media engine (stable-diffusion.cpp) is not available: %s", library.error.c_str());
    }
    settings_ = settings;
    const std::string& modelDir = settings_.modelDir;
    const nlohmann::json& props = settings_.modelProperties;
    const nlohmann::json& params = settings_.params;

    const nlohmann::json files =
        props.is_object() && props.contains("files") ? props["files"] : nlohmann::json::object();
    if (!files.is_object() || files.empty()) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "model properties.json has no files map (%s)", modelDir.c_str());
    }
    roleFiles_.clear();
    const bool multimodal = multimodalEnabled(params);
    for (auto it = files.begin(); it != files.end(); ++it) {
        const std::string& role = it.key();
        if (!multimodal && (role == "llm_vision" || role == "clip_vision")) {
            logMessage(4, "[MediaEngine] multimodal=false — 비전 인코더를 로드하지 않음 (files.%s)", role.c_str());
            continue;
        }
        if (!isMediaModelRole(role)) throw MivrelException(MivrelErrorCode::LoadFailed, "unknown role in files map: %s", role.c_str());
        if (!it->is_string() || !isValidFileName(it->get<std::string>())) {
            throw MivrelException(MivrelErrorCode::LoadFailed, "invalid file name in files.%s", role.c_str());
        }
        const std::string path = (fs::path(modelDir) / it->get<std::string>()).string();
        if (!fs::is_regular_file(path)) {
            throw MivrelException(MivrelErrorCode::LoadFailed, "model file not found (files.%s): %s", role.c_str(), path.c_str());
        }
        roleFiles_[role] = path;
    }
    vision_ = supportsRefImages(props, params);

    nlohmann::json loadDefaults = objectMember(props, "loadDefaults");
    overlay(loadDefaults, params, kLoadDefaultKeys);
    const std::vector<GpuDevice> gpus = listGpuDevices();
    placement_ = parseMediaWeights(memberOrNull(loadDefaults, "placement"), "placement", false, gpus);
    weights_ = parseMediaWeights(memberOrNull(loadDefaults, "weights"), "weights", true, gpus);
    if (loadDefaults.value("offload_to_cpu", false)) {
        logMessage(2,
                   "[MediaEngine] offload_to_cpu 는 더 이상 쓰지 않음 (무시) — sd.cpp 자동 배치 사용. 모든 가중치를 "
                   "RAM 에 두려면 \"weights\": {\"*\": \"ram\"}");
    }

    for (const auto& [role, path] : roleFiles_) {
        if (lowerExtension(path) != ".safetensors") continue;
        const std::set<std::string> formats = readSafetensorsQuantFormat(path);
        if (formats.empty()) continue;
        throw MivrelException(MivrelErrorCode::LoadFailed,
                              "unsupported quantization format '%s' in files.%s (%s) — the media engine supports "
                              "ComfyUI int8_tensorwise, convrot_w4a4 and asym_w4a8_int8 only; use a GGUF or int8 file",
                              joined(formats).c_str(), role.c_str(), fs::path(path).filename().string().c_str());
    }

    const bool mmap = loadDefaults.value("mmap", false);
    if (!mmap && loadDefaults.contains("weights")) {
        const uint64_t need = weightsRamNeed(loadDefaults["weights"], roleFiles_, gpus);
        checkWeightsFitRam(need, readMemoryStatus("/proc").availableBytes);
    }

    library.fn.setLogCallback(sdLogCallback, nullptr);
    library.fn.setProgressCallback(sdProgressCallback, nullptr);
    logMessage(4, "[MediaEngine] 모델 로드 시작 (%s): %s, files=%zu, placement=%s, weights=%s, mmap=%s",
               familyType_.c_str(), modelDir.c_str(), roleFiles_.size(),
               placement_.empty() ? "auto" : placement_.c_str(), weights_.empty() ? "auto" : weights_.c_str(),
               mmap ? "true" : "false");
    try {
        buildContext(loadDefaults, mmap);
    } catch (const std::runtime_error& e) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "%s (%s)", e.what(), modelDir.c_str());
    }

    sd_ctx* context = context_.load();
    const bool image = library.fn.supportsImageGeneration(context);
    const bool video = library.fn.supportsVideoGeneration(context);
    if ((familyType_ == "IMAGE" && !image) || (familyType_ == "VIDEO" && !video)) {
        library.fn.ctxFree(context);
        context_.store(nullptr);
        throw MivrelException(MivrelErrorCode::LoadFailed, "model does not support %s generation (image=%d video=%d)", familyType_.c_str(),
                              image ? 1 : 0, video ? 1 : 0);
    }

    genDefaults_ = objectMember(props, "genDefaults");
    overlay(genDefaults_, params, kGenerationKeys);
    limits_ = objectMember(params, "limits");
    const char* version = library.fn.getModelVersionName(context);
    logMessage(4, "[MediaEngine] 모델 로드 완료: %s (version=%s, vision=%s)", modelDir.c_str(), version ? version : "",
               vision_ ? "true" : "false");
}

void MivrelMediaEngine::buildContext(const nlohmann::json& loadDefaults, bool mmap) {
    const SdLibrary& library = SdLibrary::instance();
    SdOptionsPtr options(library.fn.ctxOptCreate());
    if (!options) throw std::runtime_error("sd.cpp context option create failed");
    for (const auto& [role, path] : roleFiles_) setSdOptionString(options.get(), role + "_path", path);
    if (!placement_.empty()) setSdOptionString(options.get(), "backend", placement_);
    if (!weights_.empty()) setSdOptionString(options.get(), "params_backend", weights_);
    if (mmap) setSdOptionBool(options.get(), "enable_mmap", true);
    const auto flash = loadDefaults.find("flash_attn");
    if (flash != loadDefaults.end() && flash->is_boolean()) {
        setSdOptionBool(options.get(), "flash_attn", flash->get<bool>());
        setSdOptionBool(options.get(), "diffusion_flash_attn", flash->get<bool>());
    }
    const auto vram = loadDefaults.find("max_vram");
    if (vram != loadDefaults.end() && !vram->is_null()) {
        maxVram_ = vram->is_string() ? vram->get<std::string>() : vram->dump();
        setSdOptionString(options.get(), "max_vram", maxVram_);
    }
    const int64_t threads = loadDefaults.value("n_threads", int64_t{0});
    if (threads > 0) setSdOptionInt(options.get(), "n_threads", threads);
    sd_ctx* context = nullptr;
    checkSdStatus(library.fn.ctxCreate(options.get(), &context), "sd_ctx_create failed");
    context_.store(context);
}

void MivrelMediaEngine::joinWorker() {
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

void MivrelMediaEngine::unloadModel() {
    abortGeneration();
    joinWorker();
    sd_ctx* context = context_.exchange(nullptr);
    if (!context) return;
    SdLibrary::instance().fn.ctxFree(context);
    logMessage(4, "[MediaEngine] 모델 해제: %s", settings_.modelDir.c_str());
}

void MivrelMediaEngine::abortGeneration() {
    cancelRequested_.store(true);
    sd_ctx* context = context_.load();
    if (context && currentMediaEngine.load() == this) {
        SdLibrary::instance().fn.cancelGeneration(context, 0);
        logMessage(4, "[MediaEngine] 생성 취소 요청");
    }
}

ModelInfo MivrelMediaEngine::getModelInfo() {
    ModelInfo info;
    sd_ctx* context = context_.load();
    if (!context) return info;
    info.loaded = true;
    std::string roles;
    for (const auto& [role, path] : roleFiles_) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(path, ec);
        if (!ec) info.sizeBytes += size;
        if (!roles.empty()) roles += ", ";
        roles += role;
    }
    const char* version = SdLibrary::instance().fn.getModelVersionName(context);
    info.description = "sd.cpp " + std::string(version ? version : "") + " (" + roles + ")";
    return info;
}
