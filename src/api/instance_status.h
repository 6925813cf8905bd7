// The read-only views of one instance: GET /v1/mivrel/{id}/status (run state,
// counters, context fill, sampling, release policy, voices) and
// GET /v1/mivrel/{id}/modelInfo (ids, family, capabilities and every model
// file with its size and GGUF summary or selected metadata).
//
// Neither loads a model, changes anything or calls into an engine: the
// engine's figures come from the values the instance records whenever a claim
// on it ends (Mivrel::statusView), so a view never disturbs a running
// generation. Both run on the connection thread and hold no lock while
// writing their reply; an unknown id is answered 404 "mivrel_not_found".
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/http_request_handler.h"

struct ServiceContext;

class Mivrel;

void handleStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response, const std::string& id);

// Query "keys" (comma list, url-encoded; "*" for all) asks for "metadata"
// instead of "summary" in each GGUF file entry.
void handleModelInfo(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id);

// The status document of `mivrel` under `id` (sorted keys).
nlohmann::json mivrelStatusDocument(const Mivrel& mivrel, const std::string& id);

// The model document of `mivrel` under `id` (keys in the documented order),
// reading model files from disk with `wantedKeys` for GGUF headers. A model
// file name from the model's properties that holds "/", "\\" or ".." is not
// looked up: its entry carries "error": "invalid file name".
nlohmann::ordered_json modelInfoDocument(const Mivrel& mivrel, const std::string& id,
                                         const std::vector<std::string>& wantedKeys);
