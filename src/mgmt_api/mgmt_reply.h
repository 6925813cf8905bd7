// The replies of the management API: compact JSON of the sorted kind, and the
// error body {"error":{"code","message"}} with the reason texts the
// management pages expect. Also the strict body parse every handler uses.
//
// Called on the connection thread that serves the request; no lock is held.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "net/http_request_handler.h"

struct ServiceContext;

// 200 "OK", "Content-Type: application/json", the value dumped compactly
// (UTF-8 kept; bytes that are not UTF-8 become U+FFFD instead of failing).
void sendJson(HttpRequestHandler& handler, Response& response, const nlohmann::json& value);

// `status` with reason "Not Found" (404), "Conflict" (409), "Bad Request"
// (400) or "Internal Server Error" (any other), body
// {"error":{"code":code,"message":message}}.
void sendError(HttpRequestHandler& handler, Response& response, int status, const std::string& code,
               const std::string& message);

// The request body as strict JSON (no comments) into `body`. False after
// answering 400 "bad_request" "invalid JSON" when it is not one JSON
// document (an empty body included).
bool parseJsonBodyOrReply(HttpRequestHandler& handler, const Request& request, Response& response,
                          nlohmann::json& body);

// The 404 "mivrel_not_found" "unknown mivrelId: " + id reply.
void sendUnknownMivrel(HttpRequestHandler& handler, Response& response, const std::string& id);

// Adds a record to the event log of `services` when it exists; nothing
// otherwise.
void addMgmtEvent(const ServiceContext& services, const std::string& level, const std::string& category,
                  const std::string& actor, const std::string& text, const std::string& detail);
