// The instance set endpoints: GET /v1/mivrels (and /v1/mivrelList) lists every
// registered instance with a short summary; POST /v1/mivrel creates one.
//
// Both run on the connection thread, send exactly one whole reply, and hold
// no lock while writing it.
#pragma once

#include <memory>

#include <nlohmann/json.hpp>

#include "net/http_request_handler.h"

struct ServiceContext;

class Mivrel;

// {"mivrels": [summary, ...]} in id order, indented by two spaces.
void handleListMivrels(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response);

// Creates the instance the body describes (createMivrel), generating a
// "mivrel-" id when the body names none: 201 with {"description",
// "mivrelId", "name", "status": "idle"}; 400 "bad_request" "invalid JSON" for
// a body that is not strict JSON (comments included) and for fields of the
// wrong type; createMivrel's own refusals as they come.
void handleCreateMivrel(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response);

// One instance's list summary (sorted keys): capabilities, contextSize,
// description, mivrelId, modelName, modelSizeBytes (0 when the model file
// cannot be measured), name, status ("busy" while a request runs on a loaded
// instance, else "ready").
nlohmann::json mivrelSummary(const Mivrel& mivrel);
