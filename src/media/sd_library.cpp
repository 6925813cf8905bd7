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
    logMessage(4, "[SdLibrary] 로드 완료: %s", path.c_str());
    using SystemInfoFn = const char* (*)();
    const char* info = library.get<SystemInfoFn>(kSdGetSystemInfo)();
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
