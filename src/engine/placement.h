// Where an instance's model runs: "auto" (the library's choice), "cpu", "gpu"
// (the GPU with the most free memory) or "gpuN"; media models may also keep
// module weights in "ram" or stream them from "disk". The checks here answer
// with a false result and an English message that callers turn into 400
// "bad_request"; none throws. All functions are pure and thread-safe.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The allowed lists, also the texts shown in messages.
inline constexpr char kPlacementAllowed[] = "auto, gpu, gpuN, cpu";
inline constexpr char kWeightsAllowed[] = "auto, gpu, gpuN, ram, disk";

// White space (isspace, C locale) removed at both ends, every byte lower-cased.
std::string trimLower(const std::string& text);

// N for "gpu" followed by 1 to 3 decimal digits (gpu007 gives 7), else -1.
int parseGpuIndex(const std::string& value);

// Checks one placement value named `name`; `allowed` is the list shown in
// messages. mediaValues allows "ram" and "disk" instead of "cpu".
bool parsePlacementValue(const nlohmann::json& value, const std::string& name, const std::string& allowed,
                         bool mediaValues, std::string& error);

// Checks a setting that is a value or an object of module values: modules
// "*", "diffusion", "te", "vae", "clip_vision" when multiModule, else only
// "*". Null members are skipped; the first failure ends the check.
bool checkPlacementSetting(const nlohmann::json& value, const std::string& name, bool multiModule, bool mediaValues,
                           std::string& error);

// Checks "placement" and "weights" of an instance's settings; "weights" only
// for familyType "IMAGE" or "VIDEO". Settings that are not an object pass.
bool validatePlacementSettings(const nlohmann::json& settings, const std::string& familyType, std::string& error);

// The placement an instance loads with: its own "placement", else the model's
// loadDefaults "placement", else "auto"; of an object its "*" member; a
// string trimmed and lower-cased ("auto" when empty); any other JSON value
// its compact text.
std::string effectivePlacement(const nlohmann::json& instanceSettings, const nlohmann::json& modelProperties);
