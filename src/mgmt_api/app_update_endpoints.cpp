#include "mgmt_api/app_update_endpoints.h"

#include <optional>
#include <thread>

#include "base/json_parse.h"
#include "base/logger.h"
#include "config/runtime_properties.h"
#include "base/version.h"
#include "mgmt/app_update_job.h"
#include "mgmt/app_update_jobs.h"
#include "mgmt/app_update_service.h"
#include "mgmt/service_context.h"
#include "mgmt/update_handover.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

constexpr char kDefaultComponent[] = "brisvanesrv";

// The text after the first "component=" of the query, up to "&" or the end,
// not decoded; the default when the query has none.
std::string componentOfQuery(const std::string& query) {
    const size_t at = query.find("component=");
    if (at == std::string::npos) return kDefaultComponent;
    const size_t start = at + 10;
    const size_t end = query.find('&', start);
    return query.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// A text field of a request body: `fallback` when absent or null; false
// when the body is not an object or the field is not a text.
bool bodyText(const nlohmann::json& body, const char* key, const std::string& fallback, std::string* value) {
    if (!body.is_object()) return false;
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) {
        *value = fallback;
        return true;
    }
    if (!it->is_string()) return false;
    *value = it->get<std::string>();
    return true;
}

// Version texts travel in the web service's query unescaped: only
// characters that need no escaping are let through.
bool isPlainVersion(const std::string& version) {
    if (version.empty() || version.size() > 64) return false;
    for (const char c : version) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                           c == '-' || c == '_' || c == '+';
        if (!plain) return false;
    }
    return true;
}

std::string currentVersion() {
    const std::string stored = runtimePropertiesSnapshot().appVersion;
    return isPlainVersion(stored) ? stored : std::string(kAppVersion);
}

bool checkComponent(HttpRequestHandler& handler, Response& response, const std::string& component) {
    if (isValidComponentName(component)) return true;
    sendError(handler, response, 400, "bad_request", "invalid component: " + component);
    return false;
}

nlohmann::json successMessage(const std::string& message) {
    return nlohmann::json{{"success", {{"message", message}}}};
}

bool onlyWhiteSpace(const std::vector<uint8_t>& body) {
    for (const uint8_t c : body) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

}  // namespace

void checkAppUpdate(const ServiceContext&, HttpRequestHandler& handler, const Request& request, Response& response) {
    const std::string component = componentOfQuery(request.query);
    if (!checkComponent(handler, response, component)) return;
    WebServiceAnswer answer;
    try {
        answer = fetchAppUpdateCheck(component, currentVersion());
    } catch (const std::exception& e) {
        logMessage(1, "[mgmt] checkAppUpdate 조회 실패: %s", e.what());
        return sendError(handler, response, 502, "check_update_failed",
                         std::string("failed to check for updates: ") + e.what());
    }
    if (answer.retcode != 0) return sendError(handler, response, 502, "check_update_failed", answer.retdesc);
    sendJson(handler, response, answer.data);
}

void handleUpdateDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                          Response& response) {
    AppUpdateTable& updates = *services.updates;
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    std::string component;
    std::string targetVersion;
    if (!bodyText(body, "component", kDefaultComponent, &component) ||
        !bodyText(body, "targetVersion", "", &targetVersion)) {
        return sendError(handler, response, 400, "bad_request", "invalid JSON");
    }
    if (targetVersion.empty()) return sendError(handler, response, 400, "bad_request", "missing targetVersion");
    if (!checkComponent(handler, response, component)) return;
    if (!isPlainVersion(targetVersion)) {
        return sendError(handler, response, 400, "bad_request", "invalid targetVersion: " + targetVersion);
    }

    // The busy test and the claim are one hold of the table's mutex, so a
    // second request for the component is refused while this one fetches
    // the manifest.
    AppUpdateJob job;
    job.component = component;
    job.targetVersion = targetVersion;
    job.status = "downloading";
    std::optional<AppUpdateJob> previous;
    if (!beginAppUpdateJob(updates, job, &previous)) {
        return sendError(handler, response, 409, "already_downloading", "already downloading");
    }

    UpdateManifest manifest;
    try {
        const WebServiceAnswer answer = fetchAppUpdateManifest(component, targetVersion);
        if (answer.retcode != 0) {
            restoreAppUpdateJob(updates, component, previous);
            return sendError(handler, response, 502, "manifest_fetch_failed", answer.retdesc);
        }
        manifest = readUpdateManifest(answer.data);
    } catch (const std::exception& e) {
        restoreAppUpdateJob(updates, component, previous);
        return sendError(handler, response, 502, "manifest_fetch_failed",
                         std::string("failed to fetch manifest: ") + e.what());
    }
    if (manifest.zipUrl.empty()) {
        restoreAppUpdateJob(updates, component, previous);
        return sendError(handler, response, 502, "no_download_url", "no zipUrl in manifest");
    }

    setAppUpdateTotal(updates, component, manifest.zipSize);
    std::thread(runAppUpdateJob, services.updates, component, targetVersion, manifest.zipUrl, manifest.zipSha256,
                manifest.zipSize)
        .detach();
    sendJson(handler, response, successMessage("download started"));
}

void handleUpdateDownloadStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                Response& response) {
    AppUpdateTable& updates = *services.updates;
    const std::string component = componentOfQuery(request.query);
    if (!checkComponent(handler, response, component)) return;
    const std::optional<AppUpdateJob> job = findAppUpdateJob(updates, component);
    if (!job) return sendJson(handler, response, nlohmann::json{{"status", "none"}});
    nlohmann::json view{{"component", job->component},
                        {"targetVersion", job->targetVersion},
                        {"status", job->status},
                        {"progressPercent", job->progressPercent},
                        {"bytesDownloaded", job->bytesDownloaded},
                        {"totalBytes", job->totalBytes},
                        {"sha256Verified", job->sha256Verified}};
    if (!job->errorMessage.empty()) view["errorMessage"] = job->errorMessage;
    sendJson(handler, response, view);
}

void handleUpdateLocal(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response) {
    AppUpdateTable& updates = *services.updates;
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    std::string component;
    std::string zipPath;
    std::string sha256;
    if (!bodyText(body, "component", kDefaultComponent, &component) || !bodyText(body, "zipPath", "", &zipPath) ||
        !bodyText(body, "sha256", "", &sha256)) {
        return sendError(handler, response, 400, "bad_request", "invalid JSON");
    }
    if (zipPath.empty() || sha256.empty()) {
        return sendError(handler, response, 400, "bad_request", "missing zipPath/sha256");
    }
    if (!checkComponent(handler, response, component)) return;
    if (!beginLocalAppUpdate(updates, component)) {
        return sendError(handler, response, 409, "already_downloading", "already downloading");
    }
    std::string readyDir;
    std::string failure;
    try {
        readyDir = applyLocalAppUpdate(component, zipPath, sha256);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    endLocalAppUpdate(updates, component);
    if (!failure.empty()) {
        logMessage(1, "[mgmt] 로컬 앱 업데이트 실패(%s): %s", component.c_str(), failure.c_str());
        return sendError(handler, response, 400, "apply_failed", failure);
    }
    logMessage(4, "[mgmt] 로컬 앱 업데이트 zip 적용 완료: component=%s -> %s", component.c_str(), readyDir.c_str());
    sendJson(handler, response, successMessage("local update applied (work/_update_ready is ready)"));
}

void handleTriggerUpdate(const ServiceContext&, HttpRequestHandler& handler, const Request& request,
                         Response& response) {
    std::string mode = "full";
    if (!onlyWhiteSpace(request.body)) {
        nlohmann::json body;
        if (!parseJsonBodyOrReply(handler, request, response, body)) return;
        if (body.is_object() && body.contains("mode")) {
            if (!body["mode"].is_string()) return sendError(handler, response, 400, "bad_request", "invalid JSON");
            mode = body["mode"].get<std::string>();
        }
    }
    if (mode != "full" && mode != "apply") {
        return sendError(handler, response, 400, "bad_request", "mode must be \"full\" or \"apply\"");
    }
    const std::string word = mode == "full" ? "app_update" : "app_update_step2";
    logMessage(3, "[mgmt] app/triggerUpdate: 서버발 강제 업데이트 요청 수신 (mode=%s → brisvane %s)", mode.c_str(),
               word.c_str());
    if (!triggerLocalUpdate(word)) {
        return sendError(handler, response, 500, "internal_error", "failed to trigger brisvane " + word);
    }
    sendJson(handler, response, nlohmann::json{{"success", {{"message", "update triggered."}, {"mode", mode}}}});
}
