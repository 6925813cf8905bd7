#include "api/instance_list.h"

#include <filesystem>
#include <system_error>

#include "api/instance_reply.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "engine/mivrel_manager.h"
#include "engine/model_capabilities.h"
#include "mgmt/mivrel_creation.h"
#include "mgmt/service_context.h"

namespace {

int64_t fileSizeOrZero(const std::string& path) {
    if (path.empty()) return 0;
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<int64_t>(size);
}

}  // namespace

nlohmann::json mivrelSummary(const Mivrel& mivrel) {
    const MivrelConfig& config = mivrel.config;
    const ModelLoadSettings& load = config.loadSettings;
    const int state = mivrel.state.load();
    const bool busy = mivrel.hasEngine() && (state == kMivrelRunning || state == kMivrelStopping);
    // Read from the files once per record, not per listing.
    const nlohmann::json& facts = mivrel.listedFacts([&] {
        nlohmann::json read = nlohmann::json::object();
        read["capabilities"] = buildModelIoSchema(config.familyType, load.modelProperties, load.params, load.modelDir);
        read["modelSizeBytes"] = fileSizeOrZero(config.modelPath);
        return read;
    });
    nlohmann::json summary = nlohmann::json::object();
    summary["capabilities"] = facts["capabilities"];
    summary["contextSize"] = config.contextSettings.nCtx;
    summary["description"] = config.description;
    summary["mivrelId"] = config.id;
    summary["modelName"] = config.modelName;
    summary["modelSizeBytes"] = facts["modelSizeBytes"];
    summary["name"] = config.name;
    summary["status"] = busy ? "busy" : "ready";
    return summary;
}

void handleListMivrels(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                       Response& response) {
    nlohmann::json list = nlohmann::json::array();
    for (const std::shared_ptr<Mivrel>& mivrel : services.snapshotMivrels()) list.push_back(mivrelSummary(*mivrel));
    nlohmann::json document = nlohmann::json::object();
    document["mivrels"] = std::move(list);
    sendJsonDocument(handler, response, 200, document);
}

void handleCreateMivrel(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response) {
    nlohmann::json body;
    try {
        // Strict: a creation body is stored, so nothing of it may be skipped.
        body = parseJson(std::string_view(reinterpret_cast<const char*>(request.body.data()), request.body.size()));
    } catch (const nlohmann::json::parse_error& e) {
        sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e, "invalid JSON"));
        return;
    }
    if (!body.is_object() && !body.is_null()) {
        sendJsonError(handler, response, 400, "bad_request", "request body must be a JSON object");
        return;
    }
    const auto idField = body.is_object() ? body.find("mivrelId") : body.end();
    if (idField != body.end() && !idField->is_string()) {
        sendJsonError(handler, response, 400, "bad_request", "\"mivrelId\" must be a string");
        return;
    }
    if (idField == body.end() || idField->get_ref<const std::string&>().empty()) {
        body["mivrelId"] = generateMivrelId();  // null becomes an object here
    }

    CreateMivrelResult result;
    try {
        result = createMivrel(services.folders, services.mivrels.get(), body);
    } catch (const nlohmann::json::type_error& e) {
        // A field of the wrong type; nothing was written.
        logMessage(2, "[POST /v1/mivrel] 잘못된 요청 필드: %s", e.what());
        sendJsonError(handler, response, 400, "bad_request", e.what());
        return;
    }
    if (!result.ok) {
        sendJsonError(handler, response, result.httpStatus, result.errorCode, result.errorMessage);
        return;
    }
    nlohmann::json created = nlohmann::json::object();
    created["description"] = result.description;
    created["mivrelId"] = result.mivrelId;
    created["name"] = result.name;
    created["status"] = "idle";
    sendJsonDocument(handler, response, 201, created);
}
