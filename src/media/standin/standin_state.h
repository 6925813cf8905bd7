// Inner records of the stand-in media library: what its opaque handles are,
// the process-wide callbacks and the per-thread last error. The stand-in
// draws procedural pictures instead of running a diffusion model, so the
// server's media path can run end to end on machines without the real
// library. Test controls come from environment variables (standin_controls.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "media/sd_api.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

// Status codes of the stand-in (0 and 10 are fixed by the calling convention).
enum StandinStatus : int32_t {
    kStandinOk = 0,
    kStandinBadArgument = 1,
    kStandinUnknownOption = 2,
    kStandinFailed = 3,
    kStandinCancelled = 10,
};

enum class OptionKind { kContext, kImage, kVideo };

// One option value; tensors are borrowed from the caller.
using OptionValue = std::variant<bool, int64_t, double, std::string, std::vector<const sd_tensor*>>;

struct sd_opt {
    OptionKind kind;
    std::map<std::string, OptionValue> values;
};

struct sd_tensor {
    int32_t type = SD_TENSOR_U8;
    std::vector<int64_t> dims;
    std::vector<uint8_t> data;
};

// What a model file tells the stand-in (see standin_context.cpp).
struct ModelCard {
    bool image = true;
    bool video = true;
    std::string version = "standin";
};

struct sd_ctx {
    ModelCard card;
    std::map<std::string, OptionValue> options;
    std::atomic<bool> cancel{false};
};

struct sd_result {
    std::vector<sd_tensor*> images;  // owned
    sd_audio audio{0, nullptr};      // samples owned when set
    bool hasAudio = false;
    int32_t fps = 0;
};

// Records `text` as this thread's last error and returns `status`.
int32_t standinFail(int32_t status, const std::string& text);

// Sends one line (ending in a line feed) to the log callback, if any.
void standinLog(int32_t level, const std::string& text);

// Calls the progress callback, if any.
void standinProgress(int32_t step, int32_t steps, float seconds);

// A value of `values` by name and type, or `fallback`.
int64_t optionInt(const std::map<std::string, OptionValue>& values, const std::string& name, int64_t fallback);
double optionFloat(const std::map<std::string, OptionValue>& values, const std::string& name, double fallback);
bool optionBool(const std::map<std::string, OptionValue>& values, const std::string& name, bool fallback);
std::string optionString(const std::map<std::string, OptionValue>& values, const std::string& name,
                         const std::string& fallback);
std::vector<const sd_tensor*> optionTensors(const std::map<std::string, OptionValue>& values,
                                            const std::string& name);
