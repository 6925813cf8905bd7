// The instance files endpoints of the inference API.
#pragma once

// Fills the router's files slot and its body limit. REQUIRES: start-up,
// before the TCP server starts.
void installFileRoutes();
