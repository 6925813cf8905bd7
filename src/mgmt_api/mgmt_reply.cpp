#include "mgmt_api/mgmt_reply.h"

#include "base/json_parse.h"
#include "config/event_manager.h"
#include "mgmt/service_context.h"

namespace {

std::string dumpCompact(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

const char* mgmtReason(int status) {
    switch (status) {
        case 404: return "Not Found";
        case 409: return "Conflict";
        case 400: return "Bad Request";
        default: return "Internal Server Error";
    }
}

}  // namespace

void sendJson(HttpRequestHandler& handler, Response& response, const nlohmann::json& value) {
    response.status = 200;
    response.reason = "OK";
    response.headers["Content-Type"] = "application/json";
    response.setBody(dumpCompact(value));
    handler.sendResponse(response);
}

void sendError(HttpRequestHandler& handler, Response& response, int status, const std::string& code,
               const std::string& message) {
    nlohmann::json error = nlohmann::json::object();
    error["code"] = code;
    error["message"] = message;
    response.status = status;
    response.reason = mgmtReason(status);
    response.headers["Content-Type"] = "application/json";
    response.setBody(dumpCompact(nlohmann::json{{"error", std::move(error)}}));
    handler.sendResponse(response);
}

bool parseJsonBodyOrReply(HttpRequestHandler& handler, const Request& request, Response& response,
                          nlohmann::json& body) {
    try {
        body = parseJson(std::string_view(reinterpret_cast<const char*>(request.body.data()), request.body.size()));
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        sendError(handler, response, 400, "bad_request", invalidJsonMessage(e, "invalid JSON"));
        return false;
    }
}

void sendUnknownMivrel(HttpRequestHandler& handler, Response& response, const std::string& id) {
    sendError(handler, response, 404, "mivrel_not_found", "unknown mivrelId: " + id);
}

void addMgmtEvent(const ServiceContext& services, const std::string& level, const std::string& category,
                  const std::string& actor, const std::string& text, const std::string& detail) {
    services.addEvent(level, category, actor, text, detail);
}
