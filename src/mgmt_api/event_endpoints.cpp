#include "mgmt_api/event_endpoints.h"

#include <cerrno>
#include <cstdlib>

#include "config/event_manager.h"
#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"

namespace {

bool requireEventLog(const ServiceContext& services, HttpRequestHandler& handler, Response& response) {
    if (services.events) return true;
    sendError(handler, response, 500, "internal_error", "EventManager not initialized");
    return false;
}

nlohmann::json eventJson(const EventRecord& record) {
    return nlohmann::json{{"eventId", record.eventId}, {"time", record.time},   {"level", record.level},
                          {"category", record.category}, {"actor", record.actor}, {"text", record.text},
                          {"detail", record.detail}};
}

}  // namespace

uint32_t eventListLimit(const std::string& query) {
    constexpr uint32_t kDefault = 500;
    const size_t at = query.find("limit=");
    if (at == std::string::npos) return kDefault;
    const std::string text = query.substr(at + 6);
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE) return kDefault;
    // strtoull negates modulo 2^64; the 32-bit conversion wraps modulo 2^32.
    const bool negative = text.find_first_not_of(" \t\n\v\f\r") != std::string::npos &&
                          text[text.find_first_not_of(" \t\n\v\f\r")] == '-';
    if (negative) {
        const unsigned long long magnitude = 0 - value;
        if (magnitude > 0xFFFFFFFFull) return kDefault;
        return static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude));
    }
    if (value > 0xFFFFFFFFull) return kDefault;
    return static_cast<uint32_t>(value);
}

void handleListEvents(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                      Response& response) {
    if (!requireEventLog(services, handler, response)) return;
    nlohmann::json events = nlohmann::json::array();
    for (const EventRecord& record : services.events->recent(eventListLimit(request.query))) {
        events.push_back(eventJson(record));
    }
    sendJson(handler, response, nlohmann::json{{"events", std::move(events)}});
}

void handleDeleteEvent(const ServiceContext& services, HttpRequestHandler& handler, const Request&, Response& response,
                       const std::string& id) {
    if (!requireEventLog(services, handler, response)) return;
    if (!services.events->remove(id))
        return sendError(handler, response, 404, "event_not_found", "event not found: " + id);
    sendJson(handler, response, nlohmann::json{{"ok", true}});
}

void handleClearEvents(const ServiceContext& services, HttpRequestHandler& handler, const Request&,
                       Response& response) {
    if (!requireEventLog(services, handler, response)) return;
    services.events->clear();
    sendJson(handler, response, nlohmann::json{{"ok", true}});
}
