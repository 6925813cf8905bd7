// The event log through the management API: the newest records, deleting one
// record, and clearing the log. Locking is the event log's own; 500
// "internal_error" "EventManager not initialized" before start-up made it.
// All run on the connection thread and send exactly one reply.
#pragma once

#include <cstdint>
#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// {"events": [...]} newest first; the query's "limit=" (500 by default).
void handleListEvents(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                      Response& response);
// {"ok": true}; 404 "event_not_found" "event not found: " + id.
void handleDeleteEvent(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response, const std::string& id);
// {"ok": true}; the file is rewritten empty, ids continue.
void handleClearEvents(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response);

// The limit a query asks for: the unsigned 32-bit number after the first
// "limit=" (leading blanks and a sign as the C conversion takes them, a minus
// wrapping modulo 2^32), 500 when there is none or it is out of range.
uint32_t eventListLimit(const std::string& query);
