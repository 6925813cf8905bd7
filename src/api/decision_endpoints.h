// The decision endpoints: POST /v1/mivrel/{id}/choice picks one of a list of
// choices for a query; POST /v1/mivrel/{id}/systemone answers a set of named
// choice, score and yes/no questions about one state. Both serve chat
// ("LLM") and decision ("DECISION") instances, load them silently on demand,
// score under the request's claim on the connection thread, and answer with
// one whole JSON document.
//
// Client errors are answered 400 before anything is loaded or claimed; a busy
// instance 409 "mivrel_inferring"; engine failures 500 "internal_error". The
// claim is released before the last byte of any reply.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct RouteHandlers;
struct ServiceContext;

void handleChoice(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response, const std::string& id);
void handleSystemOne(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id);

// Plugs both handlers into their slots of `routes`. Called once at start-up.
void installDecisionRoutes(RouteHandlers& routes, const ServiceContext& services);
