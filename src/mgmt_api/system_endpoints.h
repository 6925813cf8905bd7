// The system reports of the management API: GET /mgmt-api/systemStatus
// (live figures, the server's state and every instance; "include=spec" in
// the query adds the hardware description) and GET /mgmt-api/productInfo
// (the cached product document; "refresh=1" in the query rebuilds it).
//
// Both run on the connection thread and answer 200 with the document; a
// missing or unreadable probe only changes values. Exceptions that still
// escape (the processor sampler cannot start, the product build fails) pass
// to the front end, which answers 500 "internal_error".
#pragma once

#include "net/http_request_handler.h"

struct ServiceContext;

void handleSystemStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response);

void handleProductInfo(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response);
