// The generation endpoints: POST /v1/mivrel/{id}/imageGenerate,
// speechGenerate and videoGenerate. A request names stored input files, a
// prompt and options; the instance's engine runs the job on its own worker
// thread and saves the results in the instance's store; the handler forwards
// every job event as a server-sent event ("generation.<type>") or waits for
// the final one and answers with one JSON document.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct RouteHandlers;
struct ServiceContext;

// Answers the request completely, on its connection thread. `familyType` and
// `endpoint` come from the route ("IMAGE"/"imageGenerate",
// "AUDIO"/"speechGenerate", "VIDEO"/"videoGenerate"); a speechGenerate body
// is the flat speech form (normalizeSpeechRequest), whose unknown keys are
// refused with 400 before the instance is looked up. The instance is claimed
// from the busy test until the reply's last byte (the claim is released
// before it); a client that goes away while a job streams cancels the job,
// and the handler waits for its worker before it returns. Throws only
// IOException (the client went away).
void handleGenerate(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id, const std::string& familyType,
                    const std::string& endpoint);

// Plugs handleGenerate into the generate slot of `routes`.
void installGenerateRoutes(RouteHandlers& routes, const ServiceContext& services);
