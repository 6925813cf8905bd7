// The stand-in's tensors, contexts, errors, callbacks and version texts.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "media/standin/standin_controls.h"
#include "media/standin/standin_state.h"

namespace {

thread_local std::string lastError;

std::mutex callbackMutex;
sd_progress_cb progressCallback = nullptr;
void* progressData = nullptr;
sd_log_cb logCallback = nullptr;
void* logData = nullptr;

// The model file's first bytes as a model card: a JSON object with
// "image", "video" (booleans) and "version" (text). Any other content (a
// real weights file, say) supports both kinds under the version "standin".
ModelCard readModelCard(const std::string& path, bool& readable) {
    ModelCard card;
    std::ifstream in(path, std::ios::binary);
    readable = static_cast<bool>(in);
    if (!readable) return card;
    std::string head(65536, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    const nlohmann::json doc = nlohmann::json::parse(head, nullptr, false);
    if (!doc.is_object()) return card;
    if (doc.contains("image") && doc["image"].is_boolean()) card.image = doc["image"].get<bool>();
    if (doc.contains("video") && doc["video"].is_boolean()) card.video = doc["video"].get<bool>();
    if (doc.contains("version") && doc["version"].is_string()) card.version = doc["version"].get<std::string>();
    return card;
}

}  // namespace

int32_t standinFail(int32_t status, const std::string& text) {
    lastError = text;
    return status;
}

void standinLog(int32_t level, const std::string& text) {
    sd_log_cb callback;
    void* data;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = logCallback;
        data = logData;
    }
    if (callback) callback(level, (text + "\n").c_str(), data);
}

void standinProgress(int32_t step, int32_t steps, float seconds) {
    sd_progress_cb callback;
    void* data;
    {
        std::lock_guard<std::mutex> lock(callbackMutex);
        callback = progressCallback;
        data = progressData;
    }
    if (callback) callback(step, steps, seconds, data);
}

int64_t optionInt(const std::map<std::string, OptionValue>& values, const std::string& name, int64_t fallback) {
    const auto it = values.find(name);
    return it != values.end() && std::holds_alternative<int64_t>(it->second) ? std::get<int64_t>(it->second)
                                                                             : fallback;
}

double optionFloat(const std::map<std::string, OptionValue>& values, const std::string& name, double fallback) {
    const auto it = values.find(name);
    return it != values.end() && std::holds_alternative<double>(it->second) ? std::get<double>(it->second)
                                                                            : fallback;
}

bool optionBool(const std::map<std::string, OptionValue>& values, const std::string& name, bool fallback) {
    const auto it = values.find(name);
    return it != values.end() && std::holds_alternative<bool>(it->second) ? std::get<bool>(it->second) : fallback;
}

std::string optionString(const std::map<std::string, OptionValue>& values, const std::string& name,
                         const std::string& fallback) {
    const auto it = values.find(name);
    return it != values.end() && std::holds_alternative<std::string>(it->second) ? std::get<std::string>(it->second)
                                                                                 : fallback;
}

std::vector<const sd_tensor*> optionTensors(const std::map<std::string, OptionValue>& values,
                                            const std::string& name) {
    const auto it = values.find(name);
    if (it == values.end() || !std::holds_alternative<std::vector<const sd_tensor*>>(it->second)) return {};
    return std::get<std::vector<const sd_tensor*>>(it->second);
}

STANDIN_EXPORT const char* sd_get_last_error(void) { return lastError.empty() ? nullptr : lastError.c_str(); }

STANDIN_EXPORT sd_tensor* sd_tensor_create(int32_t type, int64_t rank, const int64_t* dims, const void* data,
                                           size_t bytes) {
    if (type != SD_TENSOR_U8 && type != SD_TENSOR_F32) {
        standinFail(kStandinBadArgument, "unknown tensor element type " + std::to_string(type));
        return nullptr;
    }
    if (rank < 1 || rank > 4 || !dims) {
        standinFail(kStandinBadArgument, "tensor rank must be 1 to 4");
        return nullptr;
    }
    uint64_t count = 1;
    for (int64_t i = 0; i < rank; ++i) {
        if (dims[i] <= 0 || dims[i] > (int64_t{1} << 31)) {
            standinFail(kStandinBadArgument, "bad tensor dimension");
            return nullptr;
        }
        count *= static_cast<uint64_t>(dims[i]);
        if (count > (uint64_t{1} << 34)) {
            standinFail(kStandinBadArgument, "tensor too large");
            return nullptr;
        }
    }
    const uint64_t need = count * (type == SD_TENSOR_F32 ? 4 : 1);
    if (!data || bytes != need) {
        standinFail(kStandinBadArgument, "tensor data size does not match its dimensions");
        return nullptr;
    }
    auto* tensor = new sd_tensor;
    tensor->type = type;
    tensor->dims.assign(dims, dims + rank);
    const auto* bytesIn = static_cast<const uint8_t*>(data);
    tensor->data.assign(bytesIn, bytesIn + bytes);
    return tensor;
}

STANDIN_EXPORT void sd_tensor_free(sd_tensor* tensor) { delete tensor; }

STANDIN_EXPORT int64_t sd_tensor_rank(const sd_tensor* tensor) {
    return tensor ? static_cast<int64_t>(tensor->dims.size()) : 0;
}

STANDIN_EXPORT int64_t sd_tensor_dim(const sd_tensor* tensor, int64_t index) {
    if (!tensor || index < 0 || index >= static_cast<int64_t>(tensor->dims.size())) return 0;
    return tensor->dims[static_cast<size_t>(index)];
}

STANDIN_EXPORT void* sd_tensor_data(const sd_tensor* tensor) {
    if (!tensor || tensor->data.empty()) return nullptr;
    return const_cast<uint8_t*>(tensor->data.data());
}

STANDIN_EXPORT int32_t sd_ctx_create(sd_opt* options, sd_ctx** out) {
    if (!options || !out || options->kind != OptionKind::kContext) {
        return standinFail(kStandinBadArgument, "sd_ctx_create needs context options and an out pointer");
    }
    *out = nullptr;
    if (readStandinControls().fail == "create") return standinFail(kStandinFailed, "injected failure: create");
    std::string model = optionString(options->values, "diffusion_model_path", "");
    if (model.empty()) model = optionString(options->values, "model_path", "");
    if (model.empty()) return standinFail(kStandinFailed, "no diffusion model given (diffusion_model_path or model_path)");
    bool readable = false;
    const ModelCard card = readModelCard(model, readable);
    if (!readable) return standinFail(kStandinFailed, "cannot open model file: " + model);
    auto* context = new sd_ctx;
    context->card = card;
    context->options = options->values;
    standinLog(2, "standin: loaded " + model + " (version " + card.version + ")");
    standinLog(2, "total params memory size = 0.01MB (procedural stand-in)");
    *out = context;
    return kStandinOk;
}

STANDIN_EXPORT void sd_ctx_free(sd_ctx* context) { delete context; }

STANDIN_EXPORT bool sd_ctx_supports_image_generation(sd_ctx* context) { return context && context->card.image; }
STANDIN_EXPORT bool sd_ctx_supports_video_generation(sd_ctx* context) { return context && context->card.video; }

STANDIN_EXPORT void sd_cancel_generation(sd_ctx* context, int32_t) {
    if (context) context->cancel.store(true);
}

STANDIN_EXPORT const char* sd_get_model_version_name(sd_ctx* context) {
    return context ? context->card.version.c_str() : "";
}

STANDIN_EXPORT void sd_set_progress_callback(sd_progress_cb callback, void* data) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    progressCallback = callback;
    progressData = data;
}

STANDIN_EXPORT void sd_set_log_callback(sd_log_cb callback, void* data) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    logCallback = callback;
    logData = data;
}

STANDIN_EXPORT const char* sd_get_system_info(void) { return "procedural stand-in; no accelerator"; }
STANDIN_EXPORT const char* sd_version(void) { return "standin-1.0"; }
STANDIN_EXPORT const char* sd_commit(void) { return "standin"; }
