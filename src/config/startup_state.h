// Process-wide start-up state. The server thread writes these during
// start-up, before any other server thread exists, unless a line says
// otherwise; later threads only read.
#pragma once

#include <atomic>
#include <cstdint>

// Seconds since the Unix epoch when the server started (set at entry and
// again once the HTTP server listens). Read by the system status.
extern std::atomic<int64_t> serverStartTime;

// True once the HTTP server listens and again at the end of start-up. Read by
// the process entry and the system status from other threads.
extern std::atomic<bool> startupComplete;

// Set by the server thread when start-up has run to its end and it only
// sleeps from then on: other threads may then take the process down.
extern std::atomic<bool> serverThreadIdle;

// Whether the logger writes to "logs/brisvane.log" (rather than the console).
extern bool logFileOpen;
