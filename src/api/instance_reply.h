// Reply helpers shared by the instance endpoints: whole JSON documents with
// the two-space indent of the inference API, the unknown-instance refusal,
// and the id given to an instance found in the manager.
//
// All functions write through the connection's handler and must be called on
// its connection thread; none holds a lock while it writes.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "net/http_request_handler.h"

class Mivrel;
struct ServiceContext;
class MivrelEngine;
class MivrelException;

// Answers `status` with `document` indented by two spaces and "Content-Type"
// "application/json". Bytes that are not UTF-8 in its texts become U+FFFD
// instead of failing the reply. Throws IOException when the peer is gone.
void sendJsonDocument(HttpRequestHandler& handler, Response& response, int status, const nlohmann::json& document);
void sendJsonDocument(HttpRequestHandler& handler, Response& response, int status,
                      const nlohmann::ordered_json& document);

// The 404 "mivrel_not_found" reply, "Mivrel not found: " + id (an id that is
// not UTF-8 is shown with its bad bytes replaced).
void sendMivrelNotFound(HttpRequestHandler& handler, Response& response, const std::string& id);

// The registered instance `id`, or null after answering 404.
std::shared_ptr<Mivrel> findMivrelOrReply(const ServiceContext& services, HttpRequestHandler& handler,
                                          Response& response, const std::string& id);

// The bounded parse (base/json_parse.h) of a request body with comments
// allowed; throws nlohmann::json::parse_error for anything that is not one
// JSON document or is beyond the bounds (invalidJsonMessage gives the reply).
nlohmann::json parseBodyAllowingComments(const Request& request);

// The 400 "bad_request" message for a text of `bytes` bytes that is longer
// than `engine` can take (MivrelEngine::maxInputBytes), so that it is never
// tokenized: "\"<field>\" is too long for the context: <bytes> bytes cannot
// fit <n_ctx> tokens". Empty when the text may fit.
std::string inputBeyondContext(MivrelEngine& engine, const std::string& field, size_t bytes);

// The byte count of every string in `value` (keys included): a floor for the
// prompt text a decision renders from it, so inputBeyondContext of it never
// refuses a text that fits.
size_t textBytesOf(const nlohmann::ordered_json& value);

// Whether `error` is the engine's answer to a stop request for `mivrel`
// (its stop flag set while it tokenized), rather than a failure.
bool stoppedByRequest(const Mivrel& mivrel, const MivrelException& error);

// The reply of a request that a stop request ended before it produced
// anything: 409 "mivrel_stopped" "inference stopped".
void sendStoppedByRequest(HttpRequestHandler& handler, Response& response);
