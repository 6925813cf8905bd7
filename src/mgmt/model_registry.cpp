#include "mgmt/model_registry.h"

#include <cctype>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "base/stored_document.h"
#include "config/server_config.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"

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

std::string modelsJsonPath(const std::string& modelsDir) {
    return (std::filesystem::path(modelsDir) / "models.json").string();
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

namespace {

nlohmann::json checkedRegistry(nlohmann::json registry, const std::string& path) {
    if (!registry.is_object()) throw std::runtime_error(path + ": the registry is not a JSON object");
    const auto models = registry.find("models");
    if (models == registry.end() || !models->is_array()) {
        throw std::runtime_error(path + ": \"models\" is not an array");
    }
    return registry;
}

}  // namespace

nlohmann::json loadModelsRegistry(const std::string& modelsDir) {
    const std::string path = modelsJsonPath(modelsDir);
    return checkedRegistry(loadJsonFile(path), path);
}

nlohmann::json loadModelsRegistryOrEmpty(const std::string& modelsDir) {
    const std::string path = modelsJsonPath(modelsDir);
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        return nlohmann::json{{"models", nlohmann::json::array()}};
    }
    return checkedRegistry(loadJsonFile(path), path);
}

long findModelIndex(const nlohmann::json& registry, const std::string& modelId) {
    const nlohmann::json& models = registry.at("models");
    for (size_t i = 0; i < models.size(); ++i) {
        const nlohmann::json& entry = models[i];
        if (!entry.is_object()) continue;
        const auto id = entry.find("modelId");
        if (id != entry.end() && id->is_string() && id->get_ref<const std::string&>() == modelId) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

std::string modelText(const nlohmann::json& entry, const char* key) {
    if (!entry.is_object()) return std::string();
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string modelFolderOf(const std::string& modelsDir, const nlohmann::json& entry) {
    const std::string modelId = modelText(entry, "modelId");
    // A hand-edited id such as "../decoy" would lead out of the models folder.
    if (!modelId.empty() && !isValidRegistryId(modelId)) return std::string();
    return resolveModelStoragePath(modelsDir, modelId, modelText(entry, "storagePath"));
}

bool findRegisteredModel(const std::string& modelsDir, const nlohmann::json& registry, const std::string& modelId,
                         RegisteredModel& model) {
    const nlohmann::json* entry = findModelEntry(registry, modelId);
    if (!entry) return false;
    const std::string folder = modelFolderOf(modelsDir, *entry);
    // Without a folder the main file would be looked for at the root.
    if (folder.empty()) return false;
    model.folder = folder;
    model.path = folder + "/" + modelText(*entry, "filename");
    model.name = modelText(*entry, "name");
    return true;
}

bool isInsideModelsDir(const std::string& modelsDir, const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::weakly_canonical(modelsDir, ec);
    if (ec) return false;
    const std::filesystem::path target = std::filesystem::weakly_canonical(folder, ec);
    if (ec) return false;
    auto b = base.begin();
    auto t = target.begin();
    for (; b != base.end(); ++b, ++t) {
        if (t == target.end() || *b != *t) return false;
    }
    // At least one more component, and not an empty trailing one.
    return t != target.end() && !t->empty();
}

bool foldersOverlap(const std::string& a, const std::string& b) {
    std::error_code ec;
    const std::filesystem::path first = std::filesystem::weakly_canonical(a, ec);
    if (ec) return true;
    const std::filesystem::path second = std::filesystem::weakly_canonical(b, ec);
    if (ec) return true;
    // One is a prefix of the other, component by component.
    auto f = first.begin();
    auto s = second.begin();
    for (; f != first.end() && s != second.end(); ++f, ++s) {
        if (f->empty() || s->empty()) break;  // a trailing separator
        if (*f != *s) return false;
    }
    return true;
}

bool folderUsedByAnotherModel(const std::string& modelsDir, const nlohmann::json& registry,
                              const std::string& modelId, const std::string& folder) {
    try {
        const nlohmann::json* models =
            registry.is_object() && registry.contains("models") ? &registry.at("models") : nullptr;
        if (!models || !models->is_array()) return false;
        for (const nlohmann::json& entry : *models) {
            if (!entry.is_object() || modelText(entry, "modelId") == modelId) continue;
            const std::string other = modelFolderOf(modelsDir, entry);
            if (!other.empty() && foldersOverlap(folder, other)) return true;
        }
        return false;
    } catch (const std::exception&) {
        return true;
    }
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool isRegistryFileName(const std::string& name) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* reserved : {"models.json", "properties.json", "mivrel.json"}) {
        const std::string own = reserved;
        // The name itself, and the temporary files its durable rewrite makes
        // beside it ("properties.json.tmp.<pid>.<n>").
        if (lower == own || lower.rfind(own + ".", 0) == 0) return true;
    }
    return false;
}

std::string modelRegistryRefusal(const nlohmann::json& registry) {
    return storedDocumentRefusal(registry, kMaxModelRegistryBytes, "models.json", "models");
}
