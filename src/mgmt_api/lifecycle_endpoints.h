// The lifecycle actions of one instance through the management API: start,
// stop, unload, storage reset, context reset, reload and delete.
//
// Every action that touches the engine or the record claims the instance
// first (engine/mivrel_claim.h), exactly like the inference requests: start
// loads under a load claim (a chat meanwhile is refused, never a second
// load), reload swaps the configuration while holding a claim, delete
// refuses a claimed instance. Waits are bounded (5 s for a generation to
// stop). All run on the connection thread and send exactly one reply; no
// lock is held while replying.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// "started", "already_running" or "already_loading"; 500 "start_failed".
void handleMivrelStart(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response, const std::string& id);
// "stopping" for a running generation (not awaited); else 409.
void handleMivrelStop(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                      Response& response, const std::string& id);
// "unloaded" with "actionTaken"; 409 "mivrel_inferring" after 5 s.
void handleMivrelUnload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response, const std::string& id);
// Empties the file store: "ok"; 409 "mivrel_inferring" while claimed.
void handleMivrelStorageReset(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response, const std::string& id);
// Empties the context of a loaded instance: "reset".
void handleMivrelReset(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response, const std::string& id);
// Unloads and rebuilds the configuration from the files: "reloaded".
void handleMivrelReload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response, const std::string& id);
// Removes the instance and its files: "deleted"; 409 while claimed.
void handleMivrelDelete(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response, const std::string& id);
