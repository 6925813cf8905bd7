#include "mgmt_api/runtime_property_endpoints.h"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/logger.h"
#include "config/reported_address.h"
#include "config/runtime_properties.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"
#include "relay/relay_lifecycle.h"

namespace {

std::string valueText(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>()
                             : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// SERV_PORT as a port number, or 0.
int portValue(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    const int port = std::stoi(text);
    return port >= 1 && port <= 65535 ? port : 0;
}

}  // namespace

void handleGetRuntimeProperties(const ServiceContext&, HttpRequestHandler& handler, const Request&,
                                Response& response) {
    const std::string path = runtimePropertiesPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return sendJson(handler, response, nlohmann::json{{"properties", nlohmann::json::object()}});
    nlohmann::json properties = nlohmann::json::object();
    try {
        for (const auto& [key, value] : parsePropertiesText(readWholeFile(path))) properties[key] = value;
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", e.what());
    }
    sendJson(handler, response, nlohmann::json{{"properties", std::move(properties)}});
}

void handlePatchRuntimeProperties(const ServiceContext& services, HttpRequestHandler& handler,
                                  const Request& request, Response& response) {
    nlohmann::json body;
    if (!parseJsonBodyOrReply(handler, request, response, body)) return;
    if (!body.is_object()) return sendError(handler, response, 400, "bad_request", "request body must be a JSON object");

    // Everything is checked before the file is touched, so a refused PATCH
    // changes nothing at all.
    std::map<std::string, std::string> values;
    for (auto it = body.begin(); it != body.end(); ++it) {
        const std::string text = valueText(it.value());
        if (!isValidRuntimePropertyKey(it.key())) {
            if (it.key().size() > kMaxRuntimePropertyKeyLength) {
                return sendError(handler, response, 400, "bad_request",
                                 "runtime property keys must be at most " +
                                     std::to_string(kMaxRuntimePropertyKeyLength) + " bytes");
            }
            return sendError(handler, response, 400, "bad_request",
                             "invalid runtime property key \"" + it.key() + "\": use A-Z, 0-9 and _");
        }
        const std::string problem = runtimePropertyValueProblem(text);
        if (!problem.empty()) return sendError(handler, response, 400, "bad_request", "\"" + it.key() + "\" " + problem);
        if (it.key() == "SERV_PORT" && portValue(text) == 0) {
            return sendError(handler, response, 400, "bad_request", "\"SERV_PORT\" must be a port number 1..65535");
        }
        values[it.key()] = text;
    }

    const bool wasExported = runtimeprops::brisvaneExport.load();
    try {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(runtimePropertiesPath()).parent_path(), ec);
        patchRuntimeProperties(values);
    } catch (const std::length_error& e) {
        return sendError(handler, response, 400, "bad_request", e.what());
    } catch (const std::exception& e) {
        return sendError(handler, response, 500, "internal_error", e.what());
    }
    // Only the keys that take effect at once were applied; the others wait
    // for the next start. Reported from now on; the listening socket stays
    // where it is.
    if (values.count("SERV_IP")) setReportedServIp(values["SERV_IP"]);
    if (values.count("SERV_PORT")) setReportedServPort(portValue(values["SERV_PORT"]));

    const bool exported = runtimeprops::brisvaneExport.load();
    if (exported != wasExported) {
        if (exported) {
            logMessage(4, "[mgmt] BRISVANE_EXPORT=true → RTC 클라이언트 기동");
            startRtcClient(services.relayLocal);
        } else {
            logMessage(4, "[mgmt] BRISVANE_EXPORT=false → RTC 클라이언트 중지");
            stopRtcClient(true);
        }
    }
    logMessage(4, "[mgmt] .runtime.properties 수정: %zu 항목", values.size());
    sendJson(handler, response, nlohmann::json{{"status", "updated"}});
}
