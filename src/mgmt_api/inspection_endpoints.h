// A look into the model an instance has loaded: its figures
// (architecture, size, vocabulary, layer placement, GGUF metadata) and the
// tensors of one layer. Read-only; each runs on the connection thread and
// sends exactly one reply. The engine is used under the instance's load lock
// (Mivrel::engineMutex), so an unload cannot destroy it during the call; a
// generation may run beside it, as both only read the loaded model.
#pragma once

#include <cstdint>
#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// The model figures (modelSpec), or {"is_loaded": false, "mivrelId"} without an
// engine; 500 "internal_error" "MivrelManager not available", 404
// "mivrel_not_found".
void handleModelSpec(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id);

// {"is_loaded", "layer", "mivrelId", "tensors": [...]} for the query's
// "layer="; 400 "bad_request" without a usable layer number (checked before
// the instance's load state), and the errors of handleModelSpec.
void handleLayerTensors(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response, const std::string& id);

// The layer number the query asks for: the text after the first "layer="
// (also inside a longer name) up to "&", converted like strtol (leading
// blanks and a sign, digits up to the first other character). False when
// there is none, no digits, a value outside 32 bits, or a negative one.
bool layerFromQuery(const std::string& query, int32_t* layer);
