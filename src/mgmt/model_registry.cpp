#include "mgmt/model_registry.h"

#include <filesystem>

#include "app/server_config.h"

std::mutex modelsJsonMutex;

namespace {

// The member when `value` is an object holding `key` with a non-null value.
const nlohmann::json* nonNullMember(const nlohmann::json& value, const std::string& key) {
    if (!value.is_object()) return nullptr;
    const auto it = value.find(key);
    if (it == value.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

std::string modelsJsonPath() {
    return (std::filesystem::path(ServerConfig::DIR_MODELS) / "models.json").string();
}

const nlohmann::json* findModelEntry(const nlohmann::json& registry, const std::string& modelId) {
    if (!registry.is_object()) return nullptr;
    const auto models = registry.find("models");
    if (models == registry.end() || !models->is_array()) return nullptr;
    for (const nlohmann::json& entry : *models) {
        if (!entry.is_object()) continue;
        const auto id = entry.find("modelId");
        if (id == entry.end()) {
            if (modelId.empty()) return &entry;
            continue;
        }
        if (id->is_string() && id->get_ref<const std::string&>() == modelId) return &entry;
    }
    return nullptr;
}

nlohmann::json pickSettingValue(const nlohmann::json& first, const nlohmann::json& second, const std::string& key,
                                const nlohmann::json& fallback) {
    if (const nlohmann::json* value = nonNullMember(first, key)) return *value;
    if (const nlohmann::json* value = nonNullMember(second, key)) return *value;
    return fallback;
}

nlohmann::json pickSettingValueNested(const nlohmann::json& object, const nlohmann::json& modelProperties,
                                      const std::string& key, const nlohmann::json& fallback) {
    if (const nlohmann::json* value = nonNullMember(object, key)) return *value;
    if (const nlohmann::json* defaults = nonNullMember(modelProperties, "genDefaults")) {
        if (const nlohmann::json* value = nonNullMember(*defaults, key)) return *value;
    }
    return fallback;
}
