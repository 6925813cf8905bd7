// The media-generation library (libstable-diffusion.so beside the server's
// executable), loaded at run time once per process. Its entry points are
// looked up by name into a table; the rest of the server calls the library
// only through that table. A missing or incomplete library leaves the server
// running; only image and video instances cannot load then.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "media/sd_api.h"

// The entry points, in table order: the first kSdRequiredEntries must all be
// present; the last two are optional.
enum SdEntry : size_t {
    kSdGetLastError,
    kSdCtxOptCreate,
    kSdImgGenOptCreate,
    kSdVidGenOptCreate,
    kSdOptFree,
    kSdOptSetBool,
    kSdOptSetInt,
    kSdOptSetFloat,
    kSdOptSetString,
    kSdOptSetTensor,
    kSdOptSetTensors,
    kSdTensorCreate,
    kSdTensorFree,
    kSdTensorRank,
    kSdTensorDim,
    kSdTensorData,
    kSdCtxCreate,
    kSdCtxFree,
    kSdGenerateImage,
    kSdGenerateVideo,
    kSdCtxSupportsImageGeneration,
    kSdCtxSupportsVideoGeneration,
    kSdCancelGeneration,
    kSdGetModelVersionName,
    kSdResultGetImageCount,
    kSdResultGetImage,
    kSdResultGetAudio,
    kSdResultGetFps,
    kSdResultFree,
    kSdSetProgressCallback,
    kSdSetLogCallback,
    kSdGetSystemInfo,
    kSdVersion,
    kSdCommit,
    kSdEntryCount,
};

inline constexpr size_t kSdRequiredEntries = kSdVersion;

// The library's file name.
inline constexpr char kSdLibraryFileName[] = "libstable-diffusion.so";

// The exported name of each entry, in table order.
const char* sdEntryName(SdEntry entry);

// The entry points as typed functions: all set when the library is loaded,
// all null otherwise (the two optional ones may be null either way).
struct SdFunctions {
    sd_get_last_error_fn getLastError = nullptr;
    sd_opt_create_fn ctxOptCreate = nullptr;
    sd_opt_create_fn imgGenOptCreate = nullptr;
    sd_opt_create_fn vidGenOptCreate = nullptr;
    sd_opt_free_fn optFree = nullptr;
    sd_opt_set_bool_fn optSetBool = nullptr;
    sd_opt_set_int_fn optSetInt = nullptr;
    sd_opt_set_float_fn optSetFloat = nullptr;
    sd_opt_set_string_fn optSetString = nullptr;
    sd_opt_set_tensor_fn optSetTensor = nullptr;
    sd_opt_set_tensors_fn optSetTensors = nullptr;
    sd_tensor_create_fn tensorCreate = nullptr;
    sd_tensor_free_fn tensorFree = nullptr;
    sd_tensor_rank_fn tensorRank = nullptr;
    sd_tensor_dim_fn tensorDim = nullptr;
    sd_tensor_data_fn tensorData = nullptr;
    sd_ctx_create_fn ctxCreate = nullptr;
    sd_ctx_free_fn ctxFree = nullptr;
    sd_generate_fn generateImage = nullptr;
    sd_generate_fn generateVideo = nullptr;
    sd_ctx_supports_fn supportsImageGeneration = nullptr;
    sd_ctx_supports_fn supportsVideoGeneration = nullptr;
    sd_cancel_generation_fn cancelGeneration = nullptr;
    sd_get_model_version_name_fn getModelVersionName = nullptr;
    sd_result_get_image_count_fn resultGetImageCount = nullptr;
    sd_result_get_image_fn resultGetImage = nullptr;
    sd_result_get_audio_fn resultGetAudio = nullptr;
    sd_result_get_fps_fn resultGetFps = nullptr;
    sd_result_free_fn resultFree = nullptr;
    sd_set_progress_callback_fn setProgressCallback = nullptr;
    sd_set_log_callback_fn setLogCallback = nullptr;
    sd_text_fn getSystemInfo = nullptr;
    sd_text_fn version = nullptr;  // optional
    sd_text_fn commit = nullptr;   // optional
};

struct SdLibrary {
    bool loaded = false;  // loaded, with every required entry found
    std::string error;    // why not, empty when loaded
    std::string path;     // the file that was tried
    std::array<void*, kSdEntryCount> entries{};  // null when absent
    SdFunctions fn;  // typed view of `entries`, set only when loaded

    // The process-wide binding, built by load() on the first call (once, also
    // under concurrent first calls) and never rebuilt; the library is never
    // unloaded. Never throws. Safe from any thread.
    static const SdLibrary& instance();

    // Tries the library at `path`: a missing file, a load failure and missing
    // entry points are recorded in `error` (and logged), never thrown.
    static SdLibrary loadFrom(const std::string& path);

    // loadFrom(executable's folder + "/" + kSdLibraryFileName).
    static SdLibrary load();

    // The entry as a function pointer of type F; null when absent.
    template <typename F>
    F get(SdEntry entry) const {
        return reinterpret_cast<F>(entries[entry]);
    }

    SdLibrary() = default;
    SdLibrary(const SdLibrary&) = default;
    SdLibrary& operator=(const SdLibrary&) = default;
};
