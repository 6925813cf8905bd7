#include "mgmt_api/model_endpoints.h"

#include <cctype>
#include <filesystem>
#include <mutex>

#include "base/logger.h"
#include "base/stored_document.h"
#include "engine/gguf_reader.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/model_registry.h"
#include "mgmt/model_removal.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"
#include "platform/desktop_open.h"

namespace fs = std::filesystem;

namespace {

// The registration's format names a GGUF model ("gguf" in any case).
bool isGgufFormat(const std::string& format) {
    if (format.size() != 4) return false;
    for (size_t k = 0; k < 4; ++k) {
        if (std::tolower(static_cast<unsigned char>(format[k])) != "gguf"[k]) return false;
    }
    return true;
}

std::string propertiesPathIn(const std::string& folder) { return (fs::path(folder) / "properties.json").string(); }

// Size of `name` inside `folder` (an absolute name stands alone); 0 when it
// does not exist or has no size (a folder, an access error).
uint64_t sizeOfModelFile(const std::string& folder, const std::string& name) {
    std::error_code ec;
    const uint64_t size = fs::file_size(fs::path(folder) / name, ec);
    return ec ? 0 : size;
}

uint64_t modelFilesSize(const std::string& folder, const nlohmann::json& entry) {
    if (folder.empty()) return 0;
    uint64_t total = 0;
    try {
        const nlohmann::json props = loadJsonFile(propertiesPathIn(folder));
        const auto files = props.is_object() ? props.find("files") : props.end();
        if (files != props.end() && files->is_object() && !files->empty()) {
            for (const auto& [role, name] : files->items()) {
                if (name.is_string()) total += sizeOfModelFile(folder, name.get<std::string>());
            }
            return total;
        }
    } catch (const std::exception&) {
        // An unreadable properties.json falls back to the main file.
    }
    const std::string fileName = modelText(entry, "filename");
    return fileName.empty() ? 0 : sizeOfModelFile(folder, fileName);
}

std::string listStatus(const nlohmann::json& entry) {
    if (jsonFlag(entry, "downloading")) return "downloading";
    const std::string at = modelText(entry, "downloadedAt");
    return !at.empty() && at != "null" ? "downloaded" : "not_downloaded";
}

// The entry of `id` with its folder, or false after answering 500 (registry
// unreadable) or 404 (an id that breaks the id rule, no entry, or an entry
// without folder).
bool findModelFolderOrReply(const DataFolders& folders, HttpRequestHandler& handler, Response& response,
                            const std::string& id, std::string& folder) {
    // An id that breaks the id rule is never joined to the models folder.
    if (!isValidRegistryId(id)) {
        sendError(handler, response, 404, "model_not_found", "unknown modelId: " + id);
        return false;
    }
    try {
        const nlohmann::json registry = loadModelsRegistry(folders.models);
        const long index = findModelIndex(registry, id);
        if (index >= 0) folder = modelFolderOf(folders.models, registry["models"][static_cast<size_t>(index)]);
        if (index < 0 || folder.empty()) {
            sendError(handler, response, 404, "model_not_found", "unknown modelId: " + id);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        sendError(handler, response, 500, "internal_error", e.what());
        return false;
    }
}

std::string requiredText(const nlohmann::json& body, const char* key, bool& typeError) {
    const auto it = body.is_object() ? body.find(key) : body.end();
    if (it == body.end()) return std::string();
    if (!it->is_string()) {
        typeError = true;
        return std::string();
    }
    return it->get<std::string>();
}

}  // namespace

void handleListModels(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                      Response& response) {
    nlohmann::json views = nlohmann::json::array();
    try {
        const nlohmann::json registry = loadModelsRegistry(services.folders.models);
        for (const nlohmann::json& entry : registry["models"]) {
            if (!entry.is_object()) throw std::runtime_error("a models.json entry is not an object");
            nlohmann::json view = entry;
            view["status"] = listStatus(entry);
            view.erase("downloading");
            view["fileSize"] = modelFilesSize(modelFolderOf(services.folders.models, entry), entry);
            views.push_back(std::move(view));
        }
    } catch (const std::exception& e) {
        logMessage(1, "[mgmt] GET /mgmt/models 오류: %s", e.what());
        return sendError(handler, response, 500, "internal_error", e.what());
    }
    sendJson(handler, response, nlohmann::json{{"models", std::move(views)}});
}

void handleRegisterLocalModel(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response) {
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    bool typeError = false;
    const std::string modelId = requiredText(body, "modelId", typeError);
    const std::string name = requiredText(body, "name", typeError);
    const std::string fileName = requiredText(body, "filename", typeError);
    const std::string storagePath = requiredText(body, "storagePath", typeError);
    if (typeError || modelId.empty() || name.empty() || fileName.empty() || storagePath.empty()) {
        return sendError(handler, response, 400, "bad_request", "modelId / name / filename / storagePath are required.");
    }
    // The id names the model's default folder below DIR_MODELS.
    if (!isValidRegistryId(modelId)) {
        return sendError(handler, response, 400, "bad_request", "invalid modelId: " + modelId);
    }
    bool optionalTypeError = false;
    std::string format = requiredText(body, "format", optionalTypeError);
    std::string engineType = requiredText(body, "engineType", optionalTypeError);
    if (optionalTypeError) return sendError(handler, response, 400, "bad_request", "format / engineType must be texts.");

    const fs::path file = fs::path(storagePath) / fileName;
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return sendError(handler, response, 400, "file_not_found", "file does not exist: " + file.string());
    }
    // A GGUF model that is one file must be one: anything else (a README, a
    // half-copied download) would be accepted here and fail only at the first
    // chat. A folder holds a model of several files and is taken as it is.
    if (isGgufFormat(body.contains("format") ? format : "gguf") && !fs::is_directory(file, ec) &&
        !beginsWithGgufMagic(file.string())) {
        return sendError(handler, response, 400, "not_a_gguf_model",
                         "not a GGUF model: " + file.string() + " does not begin with the GGUF magic bytes");
    }

    nlohmann::json entry = nlohmann::json::object();
    entry["modelId"] = modelId;
    entry["name"] = name;
    entry["format"] = body.contains("format") ? format : "gguf";
    entry["engineType"] = body.contains("engineType") ? engineType : "v1";
    entry["storagePath"] = storagePath;
    entry["filename"] = fileName;
    entry["downloading"] = false;
    entry["downloadedAt"] = utcTimestamp();
    {
        std::lock_guard<std::mutex> lock(modelsJsonMutex);
        nlohmann::json registry;
        try {
            registry = loadModelsRegistryOrEmpty(services.folders.models);
        } catch (const std::exception& e) {
            return sendError(handler, response, 500, "internal_error", e.what());
        }
        if (findModelIndex(registry, modelId) >= 0) {
            return sendError(handler, response, 409, "model_already_exists", "modelId already registered: " + modelId);
        }
        registry["models"].push_back(entry);
        // models.json is rewritten whole by every model operation and served
        // whole by the model list: its records keep the field limits and the
        // file its bound.
        const std::string tooLarge = modelRegistryRefusal(registry);
        if (!tooLarge.empty()) return sendError(handler, response, 400, "bad_request", tooLarge);
        try {
            saveJsonFile(modelsJsonPath(services.folders.models), registry);
        } catch (const std::exception& e) {
            return sendError(handler, response, 500, "internal_error", e.what());
        }
    }
    logMessage(4, "[mgmt] 로컬 모델 등록: %s (%s)", modelId.c_str(), name.c_str());
    sendJson(handler, response, nlohmann::json{{"modelId", modelId}, {"status", "registered"}});
}

void handleDeleteModel(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                       const std::string& id) {
    const ModelRemovalResult result = removeModel(services.folders, services.mivrels.get(), *services.downloads, id);
    if (result.status != 200) return sendError(handler, response, result.status, result.code, result.message);
    sendJson(handler, response, nlohmann::json{{"modelId", id}, {"status", "deleted"}});
}

void handleOpenModelFolder(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                           Response& response, const std::string& id) {
    std::string folder;
    if (!findModelFolderOrReply(services.folders, handler, response, id, folder)) return;
    std::error_code ec;
    fs::path path = fs::absolute(folder, ec);
    if (ec || !fs::is_directory(path, ec)) path = fs::absolute(services.folders.models, ec);
    const std::string shown = path.lexically_normal().string();
    const int result = openInFileBrowser(shown);
    if (result <= 32) {
        return sendError(handler, response, 500, "open_failed",
                         "failed to open Explorer (code: " + std::to_string(result) + ")");
    }
    sendJson(handler, response, nlohmann::json{{"ok", true}, {"path", shown}});
}

void handleGetModelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                              Response& response, const std::string& id) {
    std::string folder;
    if (!findModelFolderOrReply(services.folders, handler, response, id, folder)) return;
    nlohmann::json props;
    try {
        props = loadJsonFile(propertiesPathIn(folder));
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", std::string("failed to read properties.json: ") + e.what());
    }
    sendJson(handler, response, nlohmann::json{{"modelId", id}, {"properties", std::move(props)}});
}

void handlePatchModelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                Response& response, const std::string& id) {
    nlohmann::json patch;
    if (!parseJsonBodyOrReply(handler, request, response, patch)) return;
    std::string folder;
    if (!findModelFolderOrReply(services.folders, handler, response, id, folder)) return;
    const std::string path = propertiesPathIn(folder);
    nlohmann::json props = nlohmann::json::object();
    std::error_code ec;
    if (fs::symlink_status(path, ec).type() != fs::file_type::not_found) {
        // A file that exists but does not parse is reported, never replaced
        // by the patch alone.
        try {
            props = loadJsonFile(path);
        } catch (const std::exception& e) {
            return sendError(handler, response, 500, "internal_error",
                             std::string("failed to read properties.json: ") + e.what());
        }
    }
    props.merge_patch(patch);
    const std::string tooLarge = storedDocumentRefusal(props, kMaxModelSettingsBytes, "properties.json");
    if (!tooLarge.empty()) return sendError(handler, response, 400, "bad_request", tooLarge);
    try {
        saveJsonFile(path, props);
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", std::string("failed to write properties.json: ") + e.what());
    }
    logMessage(4, "[mgmt] 모델 properties 수정: %s", id.c_str());
    sendJson(handler, response,
             nlohmann::json{{"modelId", id}, {"properties", std::move(props)}, {"status", "updated"}});
}
