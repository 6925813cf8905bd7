#include "mgmt/json_files.h"

#include <filesystem>
#include <stdexcept>

#include "base/json_parse.h"
#include "base/text_util.h"
#include "platform/file_io.h"

nlohmann::json loadJsonFile(const std::string& path) {
    const std::string text = readFileToString(path);
    return parseJson(text, JsonComments::Ignored);
}

void saveJsonFile(const std::string& path, const nlohmann::json& value) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::string error;
    // Registries are rewritten while the server runs; an interrupted write in
    // place would leave a document that no longer parses.
    if (!replaceFileDurably(path, value.dump(2), &error))
        throw std::runtime_error("failed to open file: " + path);
}

bool jsonFlag(const nlohmann::json& value, const std::string& key) {
    if (!value.is_object()) return false;
    const auto it = value.find(key);
    return it != value.end() && it->is_boolean() && it->get<bool>();
}
