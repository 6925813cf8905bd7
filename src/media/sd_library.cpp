#include "media/sd_library.h"

#include <filesystem>
#include <system_error>

#include "base/logger.h"
#include "platform/dynamic_library.h"
#include "platform/executable_path.h"

namespace {

constexpr const char* kEntryNames[kSdEntryCount] = {
    "sd_get_last_error",
    "sd_ctx_opt_create",
    "sd_img_gen_opt_create",
    "sd_vid_gen_opt_create",
    "sd_opt_free",
    "sd_opt_set_bool",
    "sd_opt_set_int",
    "sd_opt_set_float",
    "sd_opt_set_string",
    "sd_opt_set_tensor",
    "sd_opt_set_tensors",
    "sd_tensor_create",
    "sd_tensor_free",
    "sd_tensor_rank",
    "sd_tensor_dim",
    "sd_tensor_data",
    "sd_ctx_create",
    "sd_ctx_free",
    "sd_generate_image",
    "sd_generate_video",
    "sd_ctx_supports_image_generation",
    "sd_ctx_supports_video_generation",
    "sd_cancel_generation",
    "sd_get_model_version_name",
    "sd_result_get_image_count",
    "sd_result_get_image",
    "sd_result_get_audio",
    "sd_result_get_fps",
    "sd_result_free",
    "sd_set_progress_callback",
    "sd_set_log_callback",
    "sd_get_system_info",
    "sd_version",
    "sd_commit",
};

template <typename F>
void bind(F& slot, const SdLibrary& library, SdEntry entry) {
    slot = library.get<F>(entry);
}

void bindAll(SdLibrary& library) {
    SdFunctions& f = library.fn;
    bind(f.getLastError, library, kSdGetLastError);
    bind(f.ctxOptCreate, library, kSdCtxOptCreate);
    bind(f.imgGenOptCreate, library, kSdImgGenOptCreate);
    bind(f.vidGenOptCreate, library, kSdVidGenOptCreate);
    bind(f.optFree, library, kSdOptFree);
    bind(f.optSetBool, library, kSdOptSetBool);
    bind(f.optSetInt, library, kSdOptSetInt);
    bind(f.optSetFloat, library, kSdOptSetFloat);
    bind(f.optSetString, library, kSdOptSetString);
    bind(f.optSetTensor, library, kSdOptSetTensor);
    bind(f.optSetTensors, library, kSdOptSetTensors);
    bind(f.tensorCreate, library, kSdTensorCreate);
    bind(f.tensorFree, library, kSdTensorFree);
    bind(f.tensorRank, library, kSdTensorRank);
    bind(f.tensorDim, library, kSdTensorDim);
    bind(f.tensorData, library, kSdTensorData);
    bind(f.ctxCreate, library, kSdCtxCreate);
    bind(f.ctxFree, library, kSdCtxFree);
    bind(f.generateImage, library, kSdGenerateImage);
    bind(f.generateVideo, library, kSdGenerateVideo);
    bind(f.supportsImageGeneration, library, kSdCtxSupportsImageGeneration);
    bind(f.supportsVideoGeneration, library, kSdCtxSupportsVideoGeneration);
    bind(f.cancelGeneration, library, kSdCancelGeneration);
    bind(f.getModelVersionName, library, kSdGetModelVersionName);
    bind(f.resultGetImageCount, library, kSdResultGetImageCount);
    bind(f.resultGetImage, library, kSdResultGetImage);
    bind(f.resultGetAudio, library, kSdResultGetAudio);
    bind(f.resultGetFps, library, kSdResultGetFps);
    bind(f.resultFree, library, kSdResultFree);
    bind(f.setProgressCallback, library, kSdSetProgressCallback);
    bind(f.setLogCallback, library, kSdSetLogCallback);
    bind(f.getSystemInfo, library, kSdGetSystemInfo);
    bind(f.version, library, kSdVersion);
    bind(f.commit, library, kSdCommit);
}

}  // namespace

const char* sdEntryName(SdEntry entry) { return entry < kSdEntryCount ? kEntryNames[entry] : ""; }

SdLibrary SdLibrary::loadFrom(const std::string& path) {
    SdLibrary library;
    library.path = path;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        library.error = "media engine library not found: " + path;
        logMessage(2, "[SdLibrary] %s", library.error.c_str());
        return library;
    }
    std::string loadError;
    void* handle = loadDynamicLibrary(path, loadError);
    if (!handle) {
        library.error = "failed to load media engine library: " + path + " (" + loadError + ")";
        logMessage(1, "[SdLibrary] %s", library.error.c_str());
        return library;
    }
    std::string missing;
    for (size_t i = 0; i < kSdEntryCount; ++i) {
        library.entries[i] = findLibrarySymbol(handle, kEntryNames[i]);
        if (i < kSdRequiredEntries && !library.entries[i]) {
            if (!missing.empty()) missing += ", ";
            missing += kEntryNames[i];
        }
    }
    if (!missing.empty()) {
        // The library stays loaded but is never called.
        library.entries.fill(nullptr);
        library.error = "media engine library is missing functions: " + missing + " (sd.cpp header/DLL version mismatch?)";
        logMessage(1, "[SdLibrary] %s", library.error.c_str());
        return library;
    }
    library.loaded = true;
    bindAll(library);
    logMessage(4, "[SdLibrary] 로드 완료: %s", path.c_str());
    const char* info = library.fn.getSystemInfo();
    logMessage(9, "[SdLibrary] system info: %s", info ? info : "");
    return library;
}

SdLibrary SdLibrary::load() {
    std::string dir = executableDir();
    if (dir.empty()) dir = ".";
    return loadFrom(dir + "/" + kSdLibraryFileName);
}

const SdLibrary& SdLibrary::instance() {
    static const SdLibrary library = load();
    return library;
}
