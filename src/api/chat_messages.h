// POST /v1/mivrel/{id}/messages: a client continues the chat held by one
// instance and receives the model's answer as one JSON document or as a
// server-sent event stream.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct RouteHandlers;
struct ServiceContext;

// Answers one chat request on the connection thread. Client errors are
// answered, never thrown. The instance is claimed (compare-and-exchange)
// before it is loaded or used, so a second request meanwhile gets 409, and
// the claim ends, returning the instance to idle or unloading it, before the
// last byte of the reply is written. A failed write to the client stops the
// generation and passes the IOException on.
void handleMessages(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id);

// Plugs handleMessages into the "messages" slot of `routes`. Call once at
// start-up, before the server starts.
void installChatRoutes(RouteHandlers& routes, const ServiceContext& services);
