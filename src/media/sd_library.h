// The media-generation library (libstable-diffusion.so beside the server's
// executable), loaded at run time once per process. Its entry points are
// looked up by name into a table; the rest of the server calls the library
// only through that table. A missing or incomplete library leaves the server
// running; only image and video instances cannot load then.
#pragma once

#include <array>
#include <cstddef>
#include <string>

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

struct SdLibrary {
    bool loaded = false;  // loaded, with every required entry found
    std::string error;    // why not, empty when loaded
    std::string path;     // the file that was tried
    std::array<void*, kSdEntryCount> entries{};  // null when absent

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
