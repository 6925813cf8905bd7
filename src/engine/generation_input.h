// The engine-neutral form of an image, video or speech request: typed parts
// with roles, an options object and the unlocked key of the instance's store
// with which the engine reads the referenced files. Plain record; copies are
// independent and each wipes its own key when destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/storage_key.h"

struct InputPart {
    std::string type;  // "text", "image", "audio", "video"
    std::string role;  // "prompt", "negative", "reference", "init", "end", "mask"
    std::string text;  // text parts only
    std::string file;  // file parts only: a store file name
};

struct GenerationInput {
    std::vector<InputPart> parts;
    nlohmann::json options = nlohmann::json::object();
    StorageKey storeKey;

    void addTextPart(const std::string& role, const std::string& text);
    void addFilePart(const std::string& type, const std::string& role, const std::string& file);
    // options[name] := value, replacing an earlier value.
    void setOption(const std::string& name, const nlohmann::json& value);
    // The file of every part with this type and role, in part order.
    std::vector<std::string> filesOfType(const std::string& type, const std::string& role) const;
    // The text of the first text part with this role; empty when none.
    std::string textOfRole(const std::string& role) const;
};

// A part kind an engine accepts and how many it needs and allows.
struct InputSpec {
    std::string type;
    std::string role;
    int32_t minCount = 0;
    int32_t maxCount = 0;
};

// One engine option. `type` is "string", "bool", "int", or any other text for
// a number; `multipleOf` is checked only when above 0.
struct OptionSpec {
    std::string name;
    std::string type;
    bool hasMin = false;
    double min = 0;
    bool hasMax = false;
    double max = 0;
    int32_t multipleOf = 0;
    nlohmann::json defaultValue;  // null: no default

    // Checks one value against this option's type, bounds and step. Throws
    // GenerationInputError naming the option at the first failure.
    void check(const nlohmann::json& value) const;
};

// What a generation engine accepts.
struct InputSchema {
    std::vector<InputSpec> inputs;
    std::vector<OptionSpec> options;
};

// The request body of an image or video job as a GenerationInput: either an
// explicit "parts" array with "options", or the simple keys ("prompt",
// "negative_prompt", "ref_images", "init_image", ...) with every other member
// taken as an option. Members named in `skipKeys` are ignored. Throws
// GenerationInputError with the message of the first invalid field; nothing
// of a half-parsed body escapes.
GenerationInput parseGenerationInput(const nlohmann::json& body, const std::vector<std::string>& skipKeys);

// Checks `input` against what the engine accepts: every part must be of a
// declared kind and non-empty, every declared kind within its counts, every
// non-null option declared and valid. Then writes each declared default that
// the input lacks into its options. Throws GenerationInputError at the first
// problem, before any default is written.
void validateGenerationInput(GenerationInput& input, const InputSchema& schema);
