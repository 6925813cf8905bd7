#include "mgmt_api/download_endpoints.h"

#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/logger.h"
#include "engine/registry_id.h"
#include "mgmt/https_client.h"
#include "mgmt/json_files.h"
#include "mgmt/model_catalog.h"
#include "mgmt/model_download_job.h"
#include "mgmt/model_download_jobs.h"
#include "mgmt/model_registry.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"
#include "storage/storage_format.h"

namespace {

bool isActiveStatus(const std::string& status) { return status == "downloading" || status == "verifying"; }

// Takes a model out of the table's starting marks when the start request
// ends.
class StartingMark {
public:
    StartingMark(ModelDownloadTable& downloads, std::string modelId)
        : downloads_(downloads), modelId_(std::move(modelId)) {}
    ~StartingMark() {
        std::lock_guard<std::mutex> lock(downloads_.mutex);
        downloads_.starting.erase(modelId_);
    }
    StartingMark(const StartingMark&) = delete;
    StartingMark& operator=(const StartingMark&) = delete;

private:
    ModelDownloadTable& downloads_;
    std::string modelId_;
};

// The answer of a failed start: status, code, message.
struct Refusal {
    int status;
    std::string code;
    std::string message;
};

// A catalogue file name is used as one path component of the model folder,
// beside the model's own properties.json.
bool isPlainFileName(const std::string& name) { return isValidFileName(name) && !isRegistryFileName(name); }

// The file plan from the record, or a refusal in `refusal`.
bool planFiles(const nlohmann::json& record, const std::string& modelDir, std::vector<ModelDownloadFile>& files,
               Refusal& refusal) {
    const auto badEntry = [&](const std::string& fileName) {
        refusal = {502, "bad_catalog_files", "invalid catalog files entry (filename/dnUrl): " + fileName};
        return false;
    };
    const nlohmann::json list = record.contains("files") && !record["files"].is_null() ? record["files"] : nlohmann::json::array();
    if (list.is_array() && !list.empty()) {
        for (const nlohmann::json& element : list) {
            const std::string fileName = catalogText(element, "filename", "");
            const std::string url = catalogText(element, "dnUrl", "");
            if (fileName.empty() || url.empty() || !isPlainFileName(fileName) || !isRequestSafeUrl(url))
                return badEntry(fileName);
            ModelDownloadFile file;
            file.url = url;
            file.path = (std::filesystem::path(modelDir) / fileName).string();
            file.size = catalogInteger(element, "fileSize", 0);
            file.sha256 = catalogText(element, "sha256", "");
            file.role = catalogText(element, "role", "");
            files.push_back(std::move(file));
        }
        return true;
    }
    const std::string fileName = catalogText(record, "filename", "");
    if (!isPlainFileName(fileName) || !isRequestSafeUrl(catalogText(record, "dnUrl", ""))) return badEntry(fileName);
    ModelDownloadFile file;
    file.url = catalogText(record, "dnUrl", "");
    file.path = (std::filesystem::path(modelDir) / fileName).string();
    file.size = catalogInteger(record, "fileSize", 0);
    file.sha256 = catalogText(record, "sha256", "");
    files.push_back(std::move(file));
    return true;
}

// Finds or auto-registers the model in the registry of `modelsDir` under
// modelsJsonMutex; its folder in `modelDir`. False with `refusal` set when it is downloaded already or
// models.json cannot be used.
bool registerForDownload(const std::string& modelsDir, const std::string& modelId, const nlohmann::json& record,
                         const std::string& name, std::string& modelDir, Refusal& refusal) {
    std::lock_guard<std::mutex> lock(modelsJsonMutex);
    nlohmann::json registry;
    try {
        registry = loadModelsRegistryOrEmpty(modelsDir);
    } catch (const std::exception& e) {
        refusal = {500, "internal_error", e.what()};
        return false;
    }
    const std::string newFolder = (std::filesystem::path(modelsDir) / modelId).string();
    const long index = findModelIndex(registry, modelId);
    if (index >= 0) {
        const nlohmann::json& entry = registry["models"][static_cast<size_t>(index)];
        if (!modelText(entry, "downloadedAt").empty()) {
            refusal = {409, "already_downloaded", "model already downloaded"};
            return false;
        }
        modelDir = modelFolderOf(modelsDir, entry);
        // An entry without a folder would put the files in the working
        // directory; they go to the model's own folder instead.
        if (modelDir.empty()) modelDir = newFolder;
        return true;
    }
    modelDir = newFolder;
    nlohmann::json entry = nlohmann::json::object();
    entry["modelId"] = modelId;
    entry["name"] = name;
    entry["format"] = catalogText(record, "format", "gguf");
    entry["engineType"] = catalogText(record, "engineType", "v1");
    entry["quantization"] = catalogText(record, "quantization", "");
    entry["maxContextSize"] = catalogInteger(record, "maxContextSize", 0);
    entry["storagePath"] = modelDir;
    entry["filename"] = catalogText(record, "filename", "");
    entry["downloading"] = false;
    entry["downloadedAt"] = nullptr;
    registry["models"].push_back(std::move(entry));
    // The catalogue's texts are stored like a client's.
    const std::string tooLarge = modelRegistryRefusal(registry);
    if (!tooLarge.empty()) {
        refusal = {502, "catalog_fetch_failed", "failed to fetch catalog: the record cannot be stored: " + tooLarge};
        return false;
    }
    try {
        saveJsonFile(modelsJsonPath(modelsDir), registry);
    } catch (const std::exception& e) {
        refusal = {500, "internal_error", e.what()};
        return false;
    }
    logMessage(4, "[mgmt] 신규 모델 자동 등록: %s (%s)", modelId.c_str(), name.c_str());
    return true;
}

nlohmann::json jobView(const ModelDownloadJob& job) {
    return nlohmann::json{{"modelId", job.modelId},
                          {"name", job.name},
                          {"status", job.status},
                          {"progressPercent", job.progressPercent},
                          {"bytesDownloaded", job.bytesDownloaded},
                          {"totalBytes", job.totalBytes},
                          {"speedBytesPerSec", job.speedBytesPerSec},
                          {"errorMessage", job.errorMessage}};
}

// Replies are written after the table mutex is released: a slow client
// never holds up the transfers, which take it after every read.
void requestStop(ModelDownloadTable& downloads, HttpRequestHandler& handler, Response& response, const std::string& id,
                 bool cancel) {
    std::string status;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        const auto it = downloads.jobs.find(id);
        if (it != downloads.jobs.end()) {
            found = true;
            ModelDownloadJob& job = it->second;
            status = job.status;
            if (isActiveStatus(job.status)) {
                job.stopRequested = true;
                job.cancelRequested = cancel;
            }
        }
    }
    if (!found) return sendError(handler, response, 404, "download_not_found", "no download in progress: " + id);
    if (!isActiveStatus(status)) {
        return sendError(handler, response, 409, "download_not_active", "not in downloading state: " + status);
    }
    logMessage(4, cancel ? "[mgmt] 다운로드 취소 요청: %s" : "[mgmt] 다운로드 일시정지 요청: %s", id.c_str());
    sendJson(handler, response, nlohmann::json{{"modelId", id}, {"status", cancel ? "cancelling" : "pausing"}});
}

}  // namespace

void handleStartModelDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response) {
    ModelDownloadTable& downloads = *services.downloads;
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    const auto idField = body.is_object() ? body.find("modelId") : body.end();
    const std::string modelId = idField != body.end() && idField->is_string() ? idField->get<std::string>() : "";
    if (modelId.empty()) return sendError(handler, response, 400, "bad_request", "missing modelId");
    // The id names the model folder and goes into the catalogue's query.
    if (!isValidRegistryId(modelId)) return sendError(handler, response, 400, "bad_request", "invalid modelId: " + modelId);

    bool busy = false;
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        const auto it = downloads.jobs.find(modelId);
        busy = (it != downloads.jobs.end() && isActiveStatus(it->second.status)) || downloads.starting.count(modelId);
        if (!busy) downloads.starting.insert(modelId);
    }
    if (busy) return sendError(handler, response, 409, "already_downloading", "already downloading");
    StartingMark mark(downloads, modelId);

    CatalogAnswer answer;
    try {
        answer = fetchCatalogRecord(modelId);
    } catch (const std::exception& e) {
        return sendError(handler, response, 502, "catalog_fetch_failed", std::string("failed to fetch catalog: ") + e.what());
    }
    if (answer.retcode != 0) {
        return sendError(handler, response, 404, "model_not_found", "modelId not in catalog: " + modelId);
    }
    const nlohmann::json& record = answer.record;
    // Field type errors leave the handler: the front end answers 500.
    const std::string dnUrl = catalogText(record, "dnUrl", "");
    const std::string name = catalogText(record, "name", modelId);
    nlohmann::json params = record.contains("params") && !record["params"].is_null() ? record["params"] : nlohmann::json::object();
    if (dnUrl.empty()) return sendError(handler, response, 502, "no_download_url", "no dnUrl in catalog");

    Refusal refusal;
    std::string modelDir;
    if (!registerForDownload(services.folders.models, modelId, record, name, modelDir, refusal)) {
        return sendError(handler, response, refusal.status, refusal.code, refusal.message);
    }
    std::vector<ModelDownloadFile> files;
    if (!planFiles(record, modelDir, files, refusal)) {
        return sendError(handler, response, refusal.status, refusal.code, refusal.message);
    }

    int64_t totalBytes = 0;
    for (const ModelDownloadFile& file : files) totalBytes += file.size;
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        ModelDownloadJob job;
        job.modelId = modelId;
        job.name = name;
        job.status = "downloading";
        job.totalBytes = totalBytes;
        downloads.jobs[modelId] = std::move(job);
    }
    const size_t fileCount = files.size();
    std::thread(runModelDownloadJob, services.downloads, services.folders.models, modelId, std::move(files),
                std::move(params))
        .detach();
    logMessage(4, "[mgmt] 다운로드 요청: %s → %s (파일 %zu개, %lld bytes)", modelId.c_str(), modelDir.c_str(), fileCount,
               static_cast<long long>(totalBytes));
    sendJson(handler, response,
             nlohmann::json{{"modelId", modelId}, {"status", "started"}, {"fileSize", totalBytes}, {"fileCount", fileCount}});
}

void handleListDownloads(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                         Response& response) {
    ModelDownloadTable& downloads = *services.downloads;
    nlohmann::json list = nlohmann::json::array();
    {
        std::lock_guard<std::mutex> lock(downloads.mutex);
        for (const auto& [id, job] : downloads.jobs) list.push_back(jobView(job));
    }
    sendJson(handler, response, nlohmann::json{{"downloads", std::move(list)}});
}

void handlePauseDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                         Response& response, const std::string& id) {
    requestStop(*services.downloads, handler, response, id, false);
}

void handleCancelDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                          Response& response, const std::string& id) {
    requestStop(*services.downloads, handler, response, id, true);
}
