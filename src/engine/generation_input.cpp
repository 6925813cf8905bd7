#include "engine/generation_input.h"

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
