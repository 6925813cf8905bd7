// The instance set of the management API: the list with stored settings and
// live state, creation, and reading and changing an instance's stored
// settings (its properties.json).
//
// All run on the connection thread and send exactly one reply. Ids from the
// path are checked with the registry id rule before any path is built.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// {"mivrelList": [entry, ...]} in the order of mivrel.json; 500
// "internal_error" with the reason when mivrel.json cannot be read.
void handleMivrelList(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                      Response& response);

// Creates the instance the body (a JSON object) describes with createMivrel:
// {"mivrelId", "properties", "status": "created"}; its refusals as they come.
void handleMivrelCreate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response);

// {"mivrelId", "properties"}; 404 "mivrel_not_found" when the folder does not
// exist, 500 "internal_error" when its properties.json cannot be read.
void handleGetMivrelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                               Response& response, const std::string& id);

// Applies the body (a JSON object, as a merge patch) to properties.json and
// sets the store's truncate flag at once: {"mivrelId", "reloadRequired":
// true, "status": "updated"}. Only known settings with their types are
// accepted (400 "bad_request" naming the field otherwise); a stored file that
// does not parse is never overwritten (500).
void handlePatchMivrelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                 Response& response, const std::string& id);
