// The familyType gate of the engine-specific inference endpoints: a handler
// that needs one kind of engine refuses an instance of another kind with one
// uniform 400 reply before it loads or uses the engine.
#pragma once

#include <string>
#include <vector>

#include "net/http_request_handler.h"

class Mivrel;

// Whether `mivrel` was refused. An empty familyType counts as "LLM"; the
// comparison with each of `accepted` is exact and case-sensitive.
// - null `mivrel`: false, nothing sent (the caller answered the missing
//   instance already);
// - accepted: false, nothing sent;
// - otherwise: logs the refusal at level 4, sends 400
//   "unsupported_mivrel_type" naming `endpoint`, the id, the familyType and
//   the accepted names joined by "/" in list order, and returns true; the
//   caller then returns at once.
// Never throws except for I/O failures of the reply (IOException).
// Runs on the request's connection thread; reads only the configuration.
bool checkFamilyType(HttpRequestHandler& handler, Response& response, const Mivrel* mivrel,
                     const std::vector<std::string>& accepted, const std::string& endpoint);
