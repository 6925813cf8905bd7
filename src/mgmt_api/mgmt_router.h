// The management API router: one table of routes under "/mgmt-api/", tested
// in order, first match wins. Rows whose handlers this build does not serve
// are absent, so their requests answer like an unknown management path (the
// front end's 404 "not_found").
#pragma once

#include "net/http_request_handler.h"

struct RouteHandlers;
struct ServiceContext;

// Calls the handler of the first route whose method and path match and
// returns true (the handler has answered); false when none matched (nothing
// written). Fixed paths match exactly, except productInfo and systemStatus,
// which match any path that begins with them; {id} routes need a non-empty id
// between prefix and suffix (it may hold "/", except for the storage reset).
// Exceptions of handlers pass to the caller. Keeps no state; any thread.
bool routeMgmtApi(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response);

// Puts routeMgmtApi with `services` (which must outlive it) into the
// management slot of `routes`. Call once at start-up, before the TCP server
// starts.
void installMgmtRoutes(RouteHandlers& routes, const ServiceContext& services);
