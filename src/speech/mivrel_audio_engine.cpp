// MivrelAudioEngine: construction, the weights, the generator, capabilities,
// the input schema, unloading and destruction. The jobs are in speech_job.cpp.
#include "speech/mivrel_audio_engine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>

#include "base/logger.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_params.h"
#include "speech/mtmd_audio_gen_backend.h"
#include "storage/storage_format.h"

namespace {

constexpr int kDefaultMaxSeconds = 600;
// Samples of one frame of the frame-limited kinds.
constexpr int64_t kSamplesPerFrame = 2940;

// The "limits"."maxSeconds" of one settings object, or 0 when it has none.
int limitOf(const nlohmann::json& object) {
    if (!object.is_object()) return 0;
    const auto limits = object.find("limits");
    if (limits == object.end() || !limits->is_object()) return 0;
    const auto max = limits->find("maxSeconds");
    if (max == limits->end() || !max->is_number()) return 0;
    const double seconds = max->get<double>();
    if (!(seconds >= 1)) return 0;
    return seconds >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(seconds);
}

OptionSpec option(const char* name, const char* type) {
    OptionSpec spec;
    spec.name = name;
    spec.type = type;
    return spec;
}

void bound(OptionSpec& spec, double min, double max) {
    spec.hasMin = true;
    spec.min = min;
    spec.hasMax = true;
    spec.max = max;
}

}  // namespace

int audioMaxSeconds(const ModelLoadSettings& settings) {
    if (const int fromParams = limitOf(settings.params)) return fromParams;
    if (const int fromModel = limitOf(settings.modelProperties)) return fromModel;
    return kDefaultMaxSeconds;
}

int audioModelFrameLimit(const std::string& modelType) { return modelType == "zonos3" ? 2000 : 0; }

std::string audioModelTypeName(int32_t kind) {
    static const char* const kNames[] = {"",       "qwen3tts", "pockettts", "soprano", "lfm3a",
                                         "chatterbox", "drama3", "zonos3", "yue2", "fish_s2"};
    if (kind >= 1 && kind <= 9) return kNames[kind];
    return "unknown";
}

int reportedMaxSeconds(int maxSeconds, const std::string& modelType, int32_t sampleRate) {
    const int frames = audioModelFrameLimit(modelType);
    if (frames <= 0 || sampleRate <= 0) return maxSeconds;
    const int64_t byFrames = static_cast<int64_t>(frames) * kSamplesPerFrame / sampleRate;
    return static_cast<int>(std::min<int64_t>(maxSeconds, byFrames));
}

MivrelAudioEngine::MivrelAudioEngine() : MivrelAudioEngine(mtmdAudioGenLoader()) {}

MivrelAudioEngine::MivrelAudioEngine(AudioGenLoader loader) : loader_(std::move(loader)) {}

MivrelAudioEngine::~MivrelAudioEngine() {
    stopJobAndGenerator();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
    }
    // The weights refer to the text model: they go before the base frees it.
    backend_.reset();
}

void MivrelAudioEngine::stopJobAndGenerator() {
    cancelRequested_.store(true);
    joinWorker();
    speaker_.reset();
    if (backend_) backend_->freeGenerator();
}

void MivrelAudioEngine::unloadModel() {
    abortGeneration();
    joinWorker();
    freeContext();
    backend_.reset();
    MivrelLlamaEngine::unloadModel();
    voices_.clear();
    defaultVoice_.clear();
}

void MivrelAudioEngine::abortGeneration() { cancelRequested_.store(true); }

void MivrelAudioEngine::adjustContextParams(llama_context_params& params) { params.embeddings = true; }

void MivrelAudioEngine::onContextCreated() {
    if (!backend_) {
        context_.reset();
        throw MivrelException(MivrelErrorCode::ContextFailed, "audio generation weights (files.mmproj) are not loaded");
    }
    if (!backend_->createGenerator(context_.get())) {
        context_.reset();
        throw MivrelException(MivrelErrorCode::ContextFailed, "this context cannot run the audio generation of the model (n_ctx %d may be too small)",
                              contextSettings_.nCtx);
    }
}

void MivrelAudioEngine::freeContext() {
    stopJobAndGenerator();
    MivrelLlamaEngine::freeContext();
}

void MivrelAudioEngine::loadProjector() {
    const nlohmann::json& props = loadSettings_.modelProperties;
    const nlohmann::json* entry = nullptr;
    if (props.is_object()) {
        const auto files = props.find("files");
        if (files != props.end() && files->is_object()) {
            const auto mmproj = files->find("mmproj");
            if (mmproj != files->end() && mmproj->is_string()) entry = &*mmproj;
        }
    }
    if (!entry) throw MivrelException(MivrelErrorCode::LoadFailed, "AUDIO model needs files.mmproj (the audio generation weights)");
    const std::string name = entry->get<std::string>();
    if (!isValidFileName(name)) throw MivrelException(MivrelErrorCode::LoadFailed, "invalid file name in files.mmproj: %s", name.c_str());
    const std::string path = (std::filesystem::path(loadSettings_.modelDir) / name).string();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        throw MivrelException(MivrelErrorCode::LoadFailed, "model file not found (files.mmproj): %s", path.c_str());
    }

    logMessage(4, "[AudioEngine] 음성 생성 가중치(mmproj) 로드 시작: %s", path.c_str());
    AudioGenLoadRequest request;
    request.path = path;
    request.model = model_.get();
    request.useGpu = loadSettings_.nGpuLayers != 0;
    request.device = gpuDevice_;
    backend_ = loader_ ? loader_(request) : nullptr;
    if (!backend_) throw MivrelException(MivrelErrorCode::LoadFailed, "failed to load files.mmproj: %s", path.c_str());

    const AudioGenInfo info = backend_->info();
    if (info.kind == 0) {
        backend_.reset();
        throw MivrelException(MivrelErrorCode::LoadFailed, "files.mmproj does not support audio generation: %s", path.c_str());
    }
    modelType_ = audioModelTypeName(info.kind);
    sampleRate_ = info.sampleRate;
    channels_ = std::max(1, info.channels);
    voiceClone_ = backend_->acceptsSpeakerReference();

    voices_.clear();
    for (int32_t i = 0; i < info.voiceCount; ++i) {
        std::string voiceName;
        if (!backend_->voiceName(i, voiceName)) break;
        voices_.push_back(voiceName);
    }

    const nlohmann::json configured = generationDefault(loadSettings_, "voice");
    defaultVoice_ = configured.is_string() ? configured.get<std::string>() : std::string();
    if (voices_.empty()) {
        defaultVoice_.clear();
    } else if (defaultVoice_.empty()) {
        defaultVoice_ = voices_.front();
    } else if (std::find(voices_.begin(), voices_.end(), defaultVoice_) == voices_.end()) {
        logMessage(2, "[AudioEngine] 기본 목소리 '%s' 가 모델에 없음 \xE2\x86\x92 '%s'", defaultVoice_.c_str(),
                   voices_.front().c_str());
        defaultVoice_ = voices_.front();
    }

    logMessage(4,
               "[AudioEngine] 음성 생성 가중치 로드 완료: type=%s variant=%s sample_rate=%d channels=%d voices=%zu "
               "default_voice=%s voice_clone=%s",
               modelType_.c_str(), info.variant.empty() ? "-" : info.variant.c_str(), sampleRate_, channels_,
               voices_.size(), defaultVoice_.empty() ? "-" : defaultVoice_.c_str(), voiceClone_ ? "true" : "false");
}

nlohmann::json MivrelAudioEngine::getCapabilities() {
    if (!backend_) return nullptr;
    nlohmann::json caps = nlohmann::json::object();
    caps["model_type"] = modelType_;
    caps["voices"] = voices_;
    caps["default_voice"] = defaultVoice_.empty() ? nlohmann::json(nullptr) : nlohmann::json(defaultVoice_);
    caps["voice_clone"] = voiceClone_;
    caps["sample_rate"] = sampleRate_;
    caps["channels"] = channels_;
    caps["max_seconds"] = reportedMaxSeconds(audioMaxSeconds(loadSettings_), modelType_, sampleRate_);
    return caps;
}

InputSchema MivrelAudioEngine::getInputSchema() {
    InputSchema schema;
    schema.inputs.push_back(InputSpec{"text", "prompt", 1, 1});
    schema.inputs.push_back(InputSpec{"text", "reference_text", 0, 1});
    if (voiceClone_) schema.inputs.push_back(InputSpec{"audio", "reference", 0, 1});

    auto fallback = [this](const char* name) { return generationDefault(loadSettings_, name); };
    const int maxSeconds = audioMaxSeconds(loadSettings_);

    schema.options.push_back(option("voice", "string"));

    OptionSpec lang = option("lang", "string");
    if (const nlohmann::json d = fallback("lang"); d.is_string()) lang.defaultValue = d;
    schema.options.push_back(lang);

    OptionSpec speed = option("speed", "number");
    bound(speed, 0.25, 4);
    const nlohmann::json speedDefault = fallback("speed");
    speed.defaultValue = speedDefault.is_number() ? speedDefault : nlohmann::json(1);
    schema.options.push_back(speed);

    OptionSpec loudness = option("loudness", "number");
    bound(loudness, -60, 0);
    const nlohmann::json loudnessDefault = fallback("loudness");
    loudness.defaultValue = loudnessDefault.is_number() ? loudnessDefault : nlohmann::json(0);
    schema.options.push_back(loudness);

    OptionSpec temperature = option("temperature", "number");
    bound(temperature, 0, 2);
    if (const nlohmann::json d = fallback("temperature"); d.is_number()) temperature.defaultValue = d;
    schema.options.push_back(temperature);

    OptionSpec seed = option("seed", "int");
    bound(seed, -1, static_cast<double>(kMaxSeed));
    const nlohmann::json seedDefault = fallback("seed");
    seed.defaultValue = seedDefault.is_number_integer() ? seedDefault : nlohmann::json(-1);
    schema.options.push_back(seed);

    OptionSpec seconds = option("max_seconds", "number");
    bound(seconds, 1, maxSeconds);
    const nlohmann::json secondsDefault = fallback("max_seconds");
    if (secondsDefault.is_number()) {
        seconds.defaultValue = std::min(static_cast<double>(maxSeconds), secondsDefault.get<double>());
    } else {
        seconds.defaultValue = maxSeconds;
    }
    schema.options.push_back(seconds);
    return schema;
}
