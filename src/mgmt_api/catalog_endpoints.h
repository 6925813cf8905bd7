// The model catalogue through the management API: a proxy that hands the web
// pages the service's catalogue answer unchanged, and the refresh of a
// downloaded model's registry entry and properties.json from its current
// catalogue record. Both run on the connection thread and make the network
// call without holding any lock.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// 200 with the service's body as it came ("Content-Type: application/json",
// "Access-Control-Allow-Origin: *"); 502 "catalog_fetch_failed" when the
// service cannot be reached or its answer cannot be read.
void handleModelCatalog(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response);

// {"model": the updated entry, "modelId", "properties": the record's params};
// 500 (models.json unreadable or unwritable, properties.json unwritable),
// 404 "model_not_found" (not registered, or not in the catalogue), 409
// "model_not_downloaded", 502 "catalog_fetch_failed".
void handleRefreshCatalog(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                          Response& response, const std::string& id);
