#include "api/instance_reply.h"

#include "base/json_parse.h"
#include "base/utf8.h"
#include "engine/gguf_reader.h"
#include "engine/mivrel.h"
#include "engine/mivrel_exception.h"
#include "engine/mivrel_manager.h"
#include "mgmt/service_context.h"

namespace {

template <typename Json>
void sendDocument(HttpRequestHandler& handler, Response& response, int status, const Json& document) {
    response.status = status;
    // Creation has always answered "201 OK"; clients may match that line.
    response.reason = status == 201 ? "OK" : reasonPhrase(status);
    response.headers["Content-Type"] = "application/json";
    response.setBody(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    handler.sendResponse(response);
}

}  // namespace

void sendJsonDocument(HttpRequestHandler& handler, Response& response, int status, const nlohmann::json& document) {
    sendDocument(handler, response, status, document);
}

void sendJsonDocument(HttpRequestHandler& handler, Response& response, int status,
                      const nlohmann::ordered_json& document) {
    sendDocument(handler, response, status, document);
}

void sendMivrelNotFound(HttpRequestHandler& handler, Response& response, const std::string& id) {
    sendJsonError(handler, response, 404, "mivrel_not_found", "Mivrel not found: " + replaceInvalidUtf8(id));
}

std::shared_ptr<Mivrel> findMivrelOrReply(const ServiceContext& services, HttpRequestHandler& handler,
                                          Response& response, const std::string& id) {
    std::shared_ptr<Mivrel> mivrel = services.findMivrel(id);
    if (!mivrel) sendMivrelNotFound(handler, response, id);
    return mivrel;
}

nlohmann::json parseBodyAllowingComments(const Request& request) {
    return parseJson(std::string_view(reinterpret_cast<const char*>(request.body.data()), request.body.size()),
                     JsonComments::Ignored);
}

std::string inputBeyondContext(MivrelEngine& engine, const std::string& field, size_t bytes) {
    if (bytes <= engine.maxInputBytes()) return "";
    return "\"" + field + "\" is too long for the context: " + std::to_string(bytes) + " bytes cannot fit " +
           std::to_string(engine.nCtx()) + " tokens";
}

size_t textBytesOf(const nlohmann::ordered_json& value) {
    if (value.is_string()) return value.get_ref<const std::string&>().size();
    size_t total = 0;
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) total += it.key().size() + textBytesOf(it.value());
    } else if (value.is_array()) {
        for (const auto& item : value) total += textBytesOf(item);
    }
    return total;
}

bool stoppedByRequest(const Mivrel& mivrel, const MivrelException& error) {
    return error.code == MivrelErrorCode::RuntimeFailed && mivrel.abortRequested.load();
}

void sendStoppedByRequest(HttpRequestHandler& handler, Response& response) {
    sendJsonError(handler, response, 409, "mivrel_stopped", "inference stopped");
}
