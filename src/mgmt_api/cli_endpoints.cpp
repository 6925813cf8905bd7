#include "mgmt_api/cli_endpoints.h"

#include "base/logger.h"
#include "base/version.h"
#include "config/reported_address.h"
#include "config/runtime_properties.h"
#include "engine/mivrel_manager.h"
#include "mgmt/registration_client.h"
#include "mgmt/service_context.h"
#include "mgmt/service_switch.h"
#include "mgmt_api/mgmt_reply.h"
#include "relay/relay_lifecycle.h"

namespace {

const char kExportStoreFailed[] = "Failed to update BRISVANE_EXPORT in runtime properties.";

nlohmann::json successReply(const std::string& message) {
    return nlohmann::json{{"success", {{"message", message}}}};
}

const char* statusName(bool loaded, int state) {
    if (!loaded) return state == kMivrelLoading ? "loading" : "not loaded";
    switch (state) {
        case 0: return "loading";
        case 1: return "idle";
        case 2: return "running";
        case 3: return "stopping";
        case 4: return "stopped";
        default: return "not loaded";
    }
}

RegistrationResult registerThisDevice() { return registerBrisvane(reportedServIp(), reportedServPort()); }

}  // namespace

void handleCliStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response) {
    const RuntimePropertiesSnapshot props = runtimePropertiesSnapshot();
    nlohmann::json process = nlohmann::json::object();
    process["version"] = kAppVersion;
    process["port"] = reportedServPort();
    process["brisvaneId"] = props.brisvaneIdRelay;
    process["gatewayConnected"] = relayClientRunning.load();
    process["gatewayStatus"] = gatewayStatusName(relayStatus.load());

    nlohmann::json mivrels = nlohmann::json::array();
    for (const std::shared_ptr<Mivrel>& mivrel : services.snapshotMivrels()) {
        const MivrelConfig& config = mivrel->config;
        nlohmann::json item = nlohmann::json::object();
        item["id"] = config.id;
        item["name"] = config.name;
        item["modelPath"] = config.modelPath;
        item["nCtx"] = config.contextSettings.nCtx;
        std::lock_guard<std::mutex> lock(mivrel->mutex);
        const bool loaded = mivrel->hasEngine();
        const int state = mivrel->state.load();
        // A retired record is on its way out of the manager.
        item["status"] = mivrel->retired.load() ? "not loaded" : statusName(loaded, state);
        item["inTokens"] = loaded ? static_cast<uint64_t>(mivrel->inputTokens.load()) : 0;
        item["outTokens"] = loaded ? static_cast<uint64_t>(mivrel->totalOutputTokens.load()) : 0;
        mivrels.push_back(std::move(item));
    }
    nlohmann::json inference = nlohmann::json::object();
    inference["activeMivrelCount"] = mivrels.size();
    inference["mivrels"] = std::move(mivrels);
    sendJson(handler, response, nlohmann::json{{"process", std::move(process)}, {"inference", std::move(inference)}});
}

void handleCliUp(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response) {
    const RegistrationResult result = registerThisDevice();
    if (result.ok) {
        logMessage(4, "[mgmt] cli/up: 등록 확인 완료 → RTC 클라이언트 (재)기동");
        addMgmtEvent(services, "info", "system", "server", "Brisvane 활성화", "");
        startRtcClient(services.relayLocal);
        return sendJson(handler, response, successReply("Brisvane is registered and started."));
    }
    if (result.code == "pending_approval") {
        nlohmann::json error = nlohmann::json::object();
        error["code"] = result.code;
        error["message"] = result.message;
        error["auth"] = {{"type", result.authType}, {"url", result.authUrl}};
        response.status = 403;
        response.reason = "Forbidden";
        response.headers["Content-Type"] = "application/json";
        response.setBody(nlohmann::json{{"error", std::move(error)}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace));
        handler.sendResponse(response);
        return;
    }
    sendError(handler, response, 409, result.code, result.message);
}

void handleCliDown(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response) {
    logMessage(4, "[mgmt] cli/down: RTS 터널 해제 요청");
    if (!deactivateBrisvane(services.mivrels.get()))
        return sendError(handler, response, 500, "internal_error", kExportStoreFailed);
    sendJson(handler, response, successReply("Brisvane deactivated. RTS tunnel closed."));
}

void handleCliShutdown(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                       Response& response) {
    logMessage(4, "[mgmt] cli/shutdown: 프로세스 종료 요청");
    if (!deactivateBrisvane(services.mivrels.get()))
        return sendError(handler, response, 500, "internal_error", kExportStoreFailed);
    sendJson(handler, response, successReply("Brisvane is shutting down."));
    shutdownProcessDelayed();
}

void handleCliReset(const ServiceContext&, HttpRequestHandler& handler, const Request&, Response& response) {
    if (runtimeprops::brisvaneExport.load()) {
        return sendError(handler, response, 409, "bad_request", "Brisvane is active. Run 'brisvane down' first.");
    }
    const RegistrationResult reset = brisvaneReset();
    if (!reset.ok) return sendError(handler, response, 409, reset.code, reset.message);
    if (!resetRuntimeProperties()) {
        return sendError(handler, response, 500, "internal_error", "Failed to reset runtime properties.");
    }
    sendJson(handler, response, successReply("Registration info has been reset."));
}

void handleRegisterBrisvane(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                            Response& response) {
    const RegistrationResult result = registerThisDevice();
    if (!result.ok) return sendError(handler, response, 409, result.code, result.message);
    const RuntimePropertiesSnapshot props = runtimePropertiesSnapshot();
    logMessage(4, "[mgmt] registerBrisvane 성공 → RTC 클라이언트 (재)기동");
    addMgmtEvent(services, "info", "system", "server", "Brisvane 등록", props.brisvaneIdRegistration);
    startRtcClient(services.relayLocal);
    nlohmann::json reply = nlohmann::json::object();
    reply["status"] = "registered";
    reply["brisvaneId"] = props.brisvaneIdRegistration;
    reply["apiBase"] = props.apiBase;
    reply["brisvaneApiKey"] = props.apiKey;
    reply["brisvaneToken"] = props.token;
    sendJson(handler, response, reply);
}
