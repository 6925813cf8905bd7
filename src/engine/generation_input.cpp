#include "engine/generation_input.h"

#include <cmath>

#include "engine/mivrel_exception.h"

void GenerationInput::addTextPart(const std::string& role, const std::string& text) {
    parts.push_back(InputPart{"text", role, text, std::string()});
}

void GenerationInput::addFilePart(const std::string& type, const std::string& role, const std::string& file) {
    parts.push_back(InputPart{type, role, std::string(), file});
}

void GenerationInput::setOption(const std::string& name, const nlohmann::json& value) {
    options[name] = value;
}

std::vector<std::string> GenerationInput::filesOfType(const std::string& type, const std::string& role) const {
    std::vector<std::string> files;
    for (const InputPart& part : parts) {
        if (part.type == type && part.role == role) files.push_back(part.file);
    }
    return files;
}

std::string GenerationInput::textOfRole(const std::string& role) const {
    for (const InputPart& part : parts) {
        if (part.type == "text" && part.role == role) return part.text;
    }
    return std::string();
}

namespace {

struct TextKey {
    const char* key;
    const char* role;
};

struct FileKey {
    const char* key;
    const char* type;
    const char* role;
    bool array;
};

constexpr TextKey kTextKeys[] = {
    {"prompt", "prompt"},
    {"negative_prompt", "negative"},
};

constexpr FileKey kFileKeys[] = {
    {"ref_images", "image", "reference", true},
    {"init_image", "image", "init", false},
    {"end_image", "image", "end", false},
    {"mask_image", "image", "mask", false},
    {"ref_audios", "audio", "reference", true},
    {"ref_videos", "video", "reference", true},
};

bool isSimpleKey(const std::string& key) {
    for (const TextKey& t : kTextKeys) {
        if (key == t.key) return true;
    }
    for (const FileKey& f : kFileKeys) {
        if (key == f.key) return true;
    }
    return false;
}

bool contains(const std::vector<std::string>& list, const std::string& key) {
    for (const std::string& item : list) {
        if (item == key) return true;
    }
    return false;
}

[[noreturn]] void fail(const std::string& message) { throw GenerationInputError(message); }

// A missing member reads as null, so it fails like any other non-string.
std::string stringRule(const nlohmann::json& object, const char* member, const std::string& name) {
    const auto it = object.find(member);
    if (it == object.end() || !it->is_string()) fail("\"" + name + "\" must be a string");
    return it->get<std::string>();
}

std::string fileReference(const nlohmann::json& value, const std::string& key) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_object()) {
        const auto source = value.find("source");
        if (source != value.end() && source->is_object()) {
            const auto type = source->find("type");
            const auto file = source->find("file");
            if (type != source->end() && type->is_string() && type->get<std::string>() == "file" &&
                file != source->end() && file->is_string()) {
                return file->get<std::string>();
            }
        }
    }
    fail("\"" + key + "\" must be a file reference (\"files/<name>\" or a file block)");
}

void setOptionsFrom(GenerationInput& input, const nlohmann::json& options) {
    if (!options.is_object()) fail("\"options\" must be an object");
    for (auto it = options.begin(); it != options.end(); ++it) input.setOption(it.key(), it.value());
}

void parsePartsForm(const nlohmann::json& body, const std::vector<std::string>& skipKeys, GenerationInput& input) {
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (isSimpleKey(it.key())) fail("\"parts\" cannot be combined with simple key (\"" + it.key() + "\")");
    }
    const nlohmann::json& parts = body["parts"];
    if (!parts.is_array()) fail("\"parts\" must be an array");
    for (const nlohmann::json& part : parts) {
        if (!part.is_object()) fail("each part must be an object");
    }
    for (const nlohmann::json& part : parts) {
        const std::string type = stringRule(part, "type", "parts[].type");
        const std::string role = stringRule(part, "role", "parts[].role");
        if (type == "text") {
            input.addTextPart(role, stringRule(part, "text", "parts[].text"));
        } else {
            input.addFilePart(type, role, stringRule(part, "file", "parts[].file"));
        }
    }
    const auto options = body.find("options");
    if (options != body.end()) setOptionsFrom(input, *options);
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string& key = it.key();
        if (key == "parts" || key == "options" || contains(skipKeys, key)) continue;
        // The "options" object wins over a top-level member of the same name.
        if (input.options.contains(key)) continue;
        input.setOption(key, it.value());
    }
}

void parseSimpleForm(const nlohmann::json& body, const std::vector<std::string>& skipKeys, GenerationInput& input) {
    for (const TextKey& t : kTextKeys) {
        const auto it = body.find(t.key);
        if (it == body.end() || it->is_null()) continue;
        input.addTextPart(t.role, stringRule(body, t.key, t.key));
    }
    for (const FileKey& f : kFileKeys) {
        const auto it = body.find(f.key);
        if (it == body.end() || it->is_null()) continue;
        if (!f.array) {
            input.addFilePart(f.type, f.role, fileReference(*it, f.key));
            continue;
        }
        if (!it->is_array()) fail("\"" + std::string(f.key) + "\" must be an array of file names");
        for (const nlohmann::json& item : *it) input.addFilePart(f.type, f.role, fileReference(item, f.key));
    }
    // Key order decides between a top-level member and the same name inside
    // "options": the later one wins.
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string& key = it.key();
        if (isSimpleKey(key) || contains(skipKeys, key)) continue;
        if (key == "options") {
            setOptionsFrom(input, it.value());
        } else {
            input.setOption(key, it.value());
        }
    }
}

std::string boundText(double bound) { return nlohmann::json(bound).dump(); }

}  // namespace

void OptionSpec::check(const nlohmann::json& value) const {
    if (type == "string") {
        if (!value.is_string()) fail("\"" + name + "\" must be a string");
        return;
    }
    if (type == "bool") {
        if (!value.is_boolean()) fail("\"" + name + "\" must be a boolean");
        return;
    }
    if (!value.is_number()) fail("\"" + name + "\" must be a number");
    const double v = value.get<double>();
    if (type == "int" && std::floor(v) != v) fail("\"" + name + "\" must be an integer");
    if (hasMin && v < min) fail("\"" + name + "\" must be >= " + boundText(min));
    if (hasMax && v > max) fail("\"" + name + "\" must be <= " + boundText(max));
    if (multipleOf > 0) {
        // Outside the 64-bit range the truncation is undefined; such a value
        // cannot be a sensible multiple of anything the engines ask for.
        constexpr double kLimit = 9.2e18;
        if (!(v > -kLimit && v < kLimit) || static_cast<int64_t>(v) % multipleOf != 0) {
            fail("\"" + name + "\" must be a multiple of " + std::to_string(multipleOf));
        }
    }
}

GenerationInput parseGenerationInput(const nlohmann::json& body, const std::vector<std::string>& skipKeys) {
    if (!body.is_object()) fail("request body must be a JSON object");
    GenerationInput input;
    if (body.contains("parts")) {
        parsePartsForm(body, skipKeys, input);
    } else {
        parseSimpleForm(body, skipKeys, input);
    }
    return input;
}

void validateGenerationInput(GenerationInput& input, const InputSchema& schema) {
    for (const InputPart& part : input.parts) {
        bool accepted = false;
        for (const InputSpec& spec : schema.inputs) {
            if (spec.type == part.type && spec.role == part.role) {
                accepted = true;
                break;
            }
        }
        if (!accepted) fail("this Mivrel does not accept " + part.type + "/" + part.role + " input");
        if (part.type == "text") {
            if (part.text.empty()) fail("text/" + part.role + " is empty");
        } else if (part.file.empty()) {
            fail(part.type + "/" + part.role + " has an empty file");
        }
    }
    for (const InputSpec& spec : schema.inputs) {
        int64_t count = 0;
        for (const InputPart& part : input.parts) {
            if (part.type == spec.type && part.role == spec.role) ++count;
        }
        if (count < spec.minCount) {
            std::string message = spec.type + "/" + spec.role + " input is required";
            if (spec.type == "text" && spec.role == "prompt") message += " (\"prompt\")";
            fail(message);
        }
        if (count > spec.maxCount) {
            fail(spec.type + "/" + spec.role + " input allows at most " + std::to_string(spec.maxCount));
        }
    }
    for (auto it = input.options.begin(); it != input.options.end(); ++it) {
        if (it->is_null()) continue;
        const OptionSpec* found = nullptr;
        for (const OptionSpec& spec : schema.options) {
            if (spec.name == it.key()) {
                found = &spec;
                break;
            }
        }
        if (!found) fail("unknown option: \"" + it.key() + "\"");
        found->check(it.value());
    }
    for (const OptionSpec& spec : schema.options) {
        if (input.options.contains(spec.name) || spec.defaultValue.is_null()) continue;
        input.options[spec.name] = spec.defaultValue;
    }
}
