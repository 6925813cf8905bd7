// Where the modules of a media model run and where their weights live: the
// "placement" and "weights" settings of image and video instances turned
// into the library's "backend" and "params_backend" texts, and the RAM a
// weights placement needs. Pure functions of their arguments (the GPU list is
// passed in); safe from any thread. Failures are MivrelException LoadFailed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/gpu_devices.h"

// The placement module of a model file role ("diffusion", "te", "vae",
// "clip_vision"); "" for a role outside the 13 of the "files" map.
std::string placementModuleOfRole(const std::string& role);

// Whether `role` is one of the 13 roles of a model's "files" map.
bool isMediaModelRole(const std::string& role);

// The library's device name for a placement value (case-insensitive, white
// space trimmed): "auto" -> "auto", "cpu" -> "CPU", "gpu"/"gpuN" -> the
// GPU's device name (or "CUDA<index>" when it has none), and with
// `storageAllowed` "ram" -> "CPU", "disk" -> "disk"; "" for anything else.
// A GPU value that names no GPU of `gpus` throws MivrelException LoadFailed with
// resolveGpuPlacement's message.
std::string mediaDeviceName(const std::string& value, bool storageAllowed, const std::vector<GpuDevice>& gpus);

// A "placement" (storageAllowed false) or "weights" (true) setting as the
// library's option text: "module=device" pairs joined by ",", in module
// order, without the modules left to the library ("auto"). Null gives "";
// a string s counts as {"*": s}. Throws MivrelException LoadFailed for another JSON
// kind, an unknown module or a device value that is not allowed.
std::string parseMediaWeights(const nlohmann::json& value, const std::string& key, bool storageAllowed,
                              const std::vector<GpuDevice>& gpus);

// Whether `module`'s weights stay in RAM under the weights object `w`: its
// own entry, else "*", names a device that means "CPU".
bool placedInRam(const nlohmann::json& w, const std::string& module, const std::vector<GpuDevice>& gpus);

// The bytes of the model files (role -> path) whose module placedInRam
// reports under `weights` (a string or an object; anything else needs
// nothing). Files whose size cannot be read count as 0.
uint64_t weightsRamNeed(const nlohmann::json& weights, const std::map<std::string, std::string>& roleFiles,
                        const std::vector<GpuDevice>& gpus);

// Refuses a need beyond the available memory: throws MivrelException LoadFailed
// "weights placed in RAM (<need> GB) exceed available RAM (<available> GB)
// — ..." when need > 0 and 0 < available < need. An unknown available
// memory (0) lets every need pass.
void checkWeightsFitRam(uint64_t need, uint64_t available);
