// What an instance accepts and produces, from the files its model ships, the
// instance's "multimodal" switch and "limits", and (for audio input) a flag
// inside the model's projector file. All functions read their JSON arguments
// only. The projector flag is cached per path and file time for the life of
// the process; the cache is safe for concurrent use.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// params "multimodal" when it is a bool; true otherwise.
bool multimodalEnabled(const nlohmann::json& params);
// The model's "files" object holds `role` with a text value.
bool modelHasFile(const nlohmann::json& modelProperties, const std::string& role);
// params "limits"[name] when it is a JSON integer; otherwise `fallback`.
int modelLimit(const nlohmann::json& params, const std::string& name, int fallback);

// multimodalEnabled and the model ships an "mmproj" file.
bool acceptsImageInput(const nlohmann::json& modelProperties, const nlohmann::json& params);
// multimodalEnabled and the projector declares an audio encoder.
bool acceptsAudioInput(const nlohmann::json& modelProperties, const nlohmann::json& params,
                       const std::string& modelDir);
// The projector (a plain file name in modelDir) declares an audio encoder
// ("clip.has_audio_encoder" true). False for a missing or unreadable file.
bool projectorHasAudioEncoder(const nlohmann::json& modelProperties, const std::string& modelDir);
// multimodalEnabled and (an "llm_vision" or "clip_vision" file, or the model's
// "supportsRefImages" true). A "supportsRefImages" that is not a bool throws
// the JSON library's type error.
bool supportsRefImages(const nlohmann::json& modelProperties, const nlohmann::json& params);

// The capability document {"api", "inputs", "outputs"} of an instance; see the
// familyType table in the .cpp. "inputs" is always present.
nlohmann::json buildModelIoSchema(const std::string& familyType, const nlohmann::json& modelProperties,
                                  const nlohmann::json& params, const std::string& modelDir);
