// The model registry through the management API: the list, a local
// registration of files already on disk, a model's properties.json (read and
// merge-patch), showing its folder, and deleting a model. Every handler runs
// on the connection thread of its request and sends exactly one reply; the
// writers of models.json hold modelsJsonMutex (mgmt/model_registry.h).
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// {"models": [view, ...]}: each entry with "status" ("downloading",
// "downloaded", "not_downloaded") instead of "downloading" and "fileSize".
// 500 "internal_error" when models.json cannot be read.
void handleListModels(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                      Response& response);

// {"modelId", "status": "registered"}; 400 "bad_request" (invalid JSON,
// missing texts, a modelId that cannot name a folder), 400 "file_not_found",
// 409 "model_already_exists", 500 when models.json is damaged or cannot be
// written (it is never replaced by an empty registry).
void handleRegisterLocalModel(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response);

// {"modelId", "status": "deleted"} after mgmt/model_removal.h's removeModel.
void handleDeleteModel(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response, const std::string& id);

// {"ok": true, "path"}: the folder (or the models directory when it does not
// exist) shown by the desktop; 404 "model_not_found"; 500 "open_failed".
// Returns without waiting for the desktop.
void handleOpenModelFolder(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                           Response& response, const std::string& id);

// {"modelId", "properties"}; 404 "model_not_found"; 500 "internal_error"
// "failed to read properties.json: ...".
void handleGetModelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response, const std::string& id);

// Applies the body as a JSON merge patch to properties.json (a missing file
// starts as {}; a damaged one is refused with 500, never overwritten);
// {"modelId", "properties", "status": "updated"}.
void handlePatchModelProperties(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                                Response& response, const std::string& id);
