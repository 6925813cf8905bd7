// Building the running server once the configuration is known, and taking it
// down again on the normal exit path.
#pragma once

#include <memory>

#include "mgmt/service_context.h"
#include "net/net_options.h"
#include "net/router.h"
#include "net/tcp_server.h"

// The services of the running server (instance manager, event log, TCP
// server): owned here, filled by initApp and emptied by shutdownApp. The
// process entry hands it to the route installers before the server starts.
ServiceContext& appServices();

// The route table of the running server: owned here, filled by the process
// entry's route installers before initApp starts the server, and only read
// afterwards by every connection, direct or relayed.
RouteHandlers& appRoutes();

// The front end's options of the running server: owned here, filled from the
// configuration by initApp before the server starts, and only read afterwards
// by every connection, direct or relayed.
const NetOptions& appNetOptions();

// Options of the TCP server that initApp makes. Tests and benchmarks may change
// them before initApp runs.
TcpServerOptions& tcpServerOptions();

// Builds the running server, in this order: the media and speech engines
// registered with the engine factory (the speech engine on the scripted
// stand-in backend when BRISVANE_SPEECH_STANDIN is set), the GPU ordering,
// the data folders, models.json (made when missing), the repair of interrupted
// downloads, the event log, the instance manager with every instance listed
// in mivrel.json (no model is loaded), the emptying of stores marked
// "truncate_storage_on_unload", the front end's options and the relay's way to
// the server, the TCP server with the HTTP handler over appRoutes() on
// SERV_IP:SERV_PORT, the "Server started" event, the media library and the
// release watcher. Problems with single files are logged and start-up goes
// on. Throws AppInitException 1104 when a data folder cannot be made and 1302
// when the TCP server cannot be created or started; lets the file system's
// error pass when it cannot say whether a path exists. Runs on the server
// thread, once.
void initApp();

// Loads the media library (once per process) and reports the outcome in the
// log and the event log. Never throws.
void loadMediaEngineAtStart();

// Empties the stores marked "truncate_storage_on_unload" when the manager
// exists, logging how many. Called on the normal exit path.
void truncateStorageAtShutdown();

// The normal exit path: stops the TCP server (closing every connection and
// waiting a bounded time for the connection threads), then the release
// watcher, empties the marked stores, and releases the event log, the
// instance manager and the TCP server, in this order. Returns whether every
// connection thread finished; when one did not, nothing else is done and the
// objects it may still use are left in place, and the caller must end the
// process without running static destructors.
// Call from the thread that ends the process, once.
bool shutdownApp();
