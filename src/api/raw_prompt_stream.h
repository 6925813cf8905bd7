// POST /v1/mivrel/{id}/rawPromptStream: the low-level generation endpoint of
// an LLM instance. The body's "rawPrompt" is already in the model's own
// format; it is tokenized with special tokens recognised, decoded, and every
// generated token streams back as a server-sent "token" event with its ids,
// its text and its special / end-of-generation flags, then "done" and
// "data: [DONE]". Tokens are grouped so that every event's text is valid
// UTF-8 (base/utf8.h, the JSON writer's rules); bytes that can never become
// valid go out at once as "textHex" with an empty "text", and so does a
// remainder left incomplete at the end ("incomplete": true).
//
// The request claims the instance (409 "mivrel_inferring" while another
// request holds it), loads it silently when it has no engine, decodes on the
// connection thread, and releases the instance (releaseAfterRequest) before
// the last chunk is written. A stop request ends the loop at the next token;
// the remainder and "done" still follow.
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// Answers the request completely. Before the stream head, refusals are JSON
// replies: 400 "bad_request" ("Invalid JSON", "rawPrompt is required", and
// for a body that is not an object or a "rawPrompt" that is not a string),
// 404, 400 "unsupported_mivrel_type", 409; a failed load answers 500
// "internal_error" with the load's error text. An engine failure after the claim answers 500
// "internal_error" before the head, or the event "error" {"message"} and
// "data: [DONE]" after it. A failed write passes as IOException after the
// instance was released.
void rawPromptStream(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                     Response& response, const std::string& id);

// The log form of a token piece: valid UTF-8 with line feeds, carriage
// returns and tabs written as \n, \r and \t; anything else "hex:" and two
// lower-case hex digits per byte.
std::string escapeForLog(const std::string& piece);

// Two lower-case hex digits per byte, no separator.
std::string toLowerHex(const std::string& bytes);
