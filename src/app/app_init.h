// Building the running server once the configuration is known, and taking it
// down again on the normal exit path.
#pragma once

#include <memory>

#include "net/tcp_server.h"

// The process's one TCP server, made by initApp and destroyed by shutdownApp.
extern std::unique_ptr<TcpServer> gTcpServer;

// Options of the TCP server that initApp makes. Tests and benchmarks may change
// them before initApp runs.
TcpServerOptions& tcpServerOptions();

// Creates and starts the TCP server with the HTTP handler on SERV_IP:SERV_PORT.
// Throws AppInitException 1302 when the server cannot be created or started.
// Runs on the server thread, once.
void initApp();

// The normal exit path: stops the TCP server (closing every connection and
// waiting a bounded time for the connection threads), then releases the
// process-wide objects. Returns whether every connection thread finished; when
// one did not, the objects it may still use are left in place, and the caller
// must end the process without running static destructors.
// Call from the thread that ends the process, once.
bool shutdownApp();
