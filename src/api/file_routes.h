// The instance files endpoints of the inference API.
#pragma once

struct ServiceContext;

// Fills the router's files slot and its body limit. REQUIRES: start-up,
// before the TCP server starts.
void installFileRoutes(const ServiceContext& services);
