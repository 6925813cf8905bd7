// The instance files endpoints of the inference API.
#pragma once

struct RouteHandlers;
struct ServiceContext;

// Fills the files slot of `routes` and its body limit. REQUIRES: start-up,
// before the TCP server starts.
void installFileRoutes(RouteHandlers& routes, const ServiceContext& services);
