// Model downloads through the management API: the start request (catalogue
// lookup, auto-registration, file plan, job thread), the list of the
// download table, and pause and cancel. Each runs on the connection thread of
// its request and sends exactly one reply.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// Starts the download of {"modelId"}: {"modelId", "status": "started",
// "fileSize", "fileCount"}. Errors: 400 "bad_request" ("invalid JSON",
// "missing modelId", "invalid modelId: <id>"), 409 "already_downloading"
// (also while another start for the model is under way), 404
// "model_not_found", 502 "catalog_fetch_failed", 502 "no_download_url",
// 409 "already_downloaded", 502 "bad_catalog_files" (a file name that is not
// one plain path component, or an empty dnUrl), 500 "internal_error" when
// models.json cannot be read or written (it is never replaced by an empty
// registry).
void handleStartModelDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response);

// {"downloads": [...]}, one object per table entry in modelId order.
void handleListDownloads(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                         Response& response);

// {"modelId", "status": "pausing"} / {"modelId", "status": "cancelling"};
// 404 "download_not_found", 409 "download_not_active".
void handlePauseDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                         Response& response, const std::string& id);
void handleCancelDownload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                          Response& response, const std::string& id);
