// The instance endpoints of the inference API: list and creation, status and
// model information, reset, stop, unload, switch-conversation, tokenize and
// raw prompt streaming.
#pragma once

struct RouteHandlers;
struct ServiceContext;

// Fills their slots in `routes`. REQUIRES: start-up, before the TCP server
// starts.
void installInstanceRoutes(RouteHandlers& routes, const ServiceContext& services);
