#include "mgmt_api/catalog_endpoints.h"

#include <filesystem>
#include <mutex>

#include "base/logger.h"
#include "base/stored_document.h"
#include "engine/registry_id.h"
#include "mgmt/json_files.h"
#include "mgmt/model_catalog.h"
#include "mgmt/model_registry.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

// The entry's own text at `key` when it has one, else `fallback`.
std::string entryText(const nlohmann::json& entry, const char* key, const std::string& fallback) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_string() ? it->get<std::string>() : fallback;
}

int64_t entryInteger(const nlohmann::json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

// Copies the record's current values into `entry`; fields the record lacks
// keep the entry's values. Throws for a record field of the wrong type.
void applyRecord(const nlohmann::json& record, nlohmann::json& entry) {
    entry["name"] = catalogText(record, "name", entryText(entry, "name", ""));
    entry["format"] = catalogText(record, "format", entryText(entry, "format", "gguf"));
    entry["engineType"] = catalogText(record, "engineType", entryText(entry, "engineType", "v1"));
    entry["quantization"] = catalogText(record, "quantization", entryText(entry, "quantization", ""));
    entry["maxContextSize"] = catalogInteger(record, "maxContextSize", entryInteger(entry, "maxContextSize"));
}

}  // namespace

void handleModelCatalog(const ServiceContext&, HttpRequestHandler& handler, const Request& request,
                        Response& response) {
    std::string body;
    try {
        body = fetchModelCatalogDocument(request.query.empty() ? std::string() : "?" + request.query);
    } catch (const std::exception& e) {
        logMessage(1, "[mgmt] modelCatalog 프록시 실패: %s", e.what());
        return sendError(handler, response, 502, "catalog_fetch_failed", std::string("failed to fetch catalog: ") + e.what());
    }
    response.status = 200;
    response.reason = "OK";
    response.headers["Content-Type"] = "application/json";
    response.headers["Access-Control-Allow-Origin"] = "*";
    response.setBody(body);
    handler.sendResponse(response);
}

void handleRefreshCatalog(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                          Response& response, const std::string& id) {
    const std::string& modelsDir = services.folders.models;
    // The id names the model's folder, where the refreshed properties go.
    if (!isValidRegistryId(id)) return sendError(handler, response, 404, "model_not_found", "unknown modelId: " + id);
    nlohmann::json entry;
    try {
        std::lock_guard<std::mutex> lock(modelsJsonMutex);
        const nlohmann::json registry = loadModelsRegistry(modelsDir);
        const long index = findModelIndex(registry, id);
        if (index < 0) return sendError(handler, response, 404, "model_not_found", "unknown modelId: " + id);
        entry = registry["models"][static_cast<size_t>(index)];
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", e.what());
    }
    if (modelText(entry, "downloadedAt").empty()) {
        return sendError(handler, response, 409, "model_not_downloaded",
                         "refreshCatalog applies only to downloaded models: " + id);
    }

    CatalogAnswer answer;
    try {
        answer = fetchCatalogRecord(id);
    } catch (const std::exception& e) {
        return sendError(handler, response, 502, "catalog_fetch_failed", std::string("failed to fetch catalog: ") + e.what());
    }
    if (answer.retcode != 0) return sendError(handler, response, 404, "model_not_found", "modelId not in catalog: " + id);

    // The registry is read again under the mutex, so changes other writers
    // made during the catalogue call are kept.
    {
        std::lock_guard<std::mutex> lock(modelsJsonMutex);
        try {
            nlohmann::json registry = loadModelsRegistry(modelsDir);
            const long index = findModelIndex(registry, id);
            if (index < 0) return sendError(handler, response, 404, "model_not_found", "unknown modelId: " + id);
            nlohmann::json& current = registry["models"][static_cast<size_t>(index)];
            applyRecord(answer.record, current);
            // The catalogue's texts are stored like a client's.
            const std::string tooLarge = modelRegistryRefusal(registry);
            if (!tooLarge.empty()) {
                return sendError(handler, response, 502, "catalog_fetch_failed",
                                 "failed to fetch catalog: the record cannot be stored: " + tooLarge);
            }
            saveJsonFile(modelsJsonPath(modelsDir), registry);
            entry = current;
        } catch (const std::exception& e) {
            return sendError(handler, response, 500, "internal_error", e.what());
        }
    }

    nlohmann::json params = nlohmann::json::object();
    if (answer.record.is_object() && answer.record.contains("params")) params = answer.record["params"];
    const std::string folder = modelFolderOf(modelsDir, entry);
    if (!params.is_null() && !params.empty() && !folder.empty()) {
        const std::string tooLarge = storedDocumentRefusal(params, kMaxModelSettingsBytes, "properties.json");
        if (!tooLarge.empty()) {
            return sendError(handler, response, 502, "catalog_fetch_failed",
                             "failed to fetch catalog: the model's params cannot be stored: " + tooLarge);
        }
        try {
            saveJsonFile((std::filesystem::path(folder) / "properties.json").string(), params);
        } catch (const std::exception& e) {
            return sendError(handler, response, 500, "internal_error", std::string("failed to save properties.json: ") + e.what());
        }
    }
    logMessage(4, "[mgmt] 모델 카탈로그 재조회/갱신 완료: %s", id.c_str());
    sendJson(handler, response, nlohmann::json{{"model", entry}, {"modelId", id}, {"properties", params}});
}
