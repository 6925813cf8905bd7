// Plugs the inference API's handlers into the router's slots.
#pragma once

struct RouteHandlers;
struct ServiceContext;

// Fills every inference slot of `routes` that this build serves, with
// handlers that use `services` (which must outlive them). Call
// once at start-up, before the TCP server starts; slots left empty answer
// JSON 404 "not_found".
void installApiRoutes(RouteHandlers& routes, const ServiceContext& services);
