// The instance endpoints of the inference API: list and creation, status and
// model information, reset, stop, unload, switch-conversation, tokenize and
// raw prompt streaming.
#pragma once

struct ServiceContext;

// Fills their slots in routeHandlers(). REQUIRES: start-up, before the TCP
// server starts.
void installInstanceRoutes(const ServiceContext& services);
