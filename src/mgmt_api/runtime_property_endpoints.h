// The runtime state file ("work/.runtime.properties") through the management
// API: every key and value, and writing keys, the ones the running process
// uses taking effect at once. A change of BRISVANE_EXPORT switches the
// inference service and starts or stops the relay client; instances are not
// touched. Both run on the connection thread and send exactly one reply.
#pragma once

#include "net/http_request_handler.h"

struct ServiceContext;

// {"properties": {KEY: VALUE, ...}}; {} without a file; 500 when it exists
// but cannot be read.
void handleGetRuntimeProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                Response& response);

// The body, a JSON object of KEY: value (a string as it is, anything else as
// compact JSON), written durably in one replacement of the file, then
// applied: {"status": "updated"}. Refused with 400 "bad_request", writing
// nothing, for a key that is not [A-Z0-9_]+, a value holding CR or LF, or a
// SERV_PORT that is not 1..65535.
void handlePatchRuntimeProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                  Response& response);
