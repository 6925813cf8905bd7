// The control endpoints of one instance: POST /v1/mivrel/{id}/reset, /stop,
// /unload, /switch-conversation and /tokenize.
//
// Every one that touches the engine first claims the instance (mivrel_claim.h),
// so it never resets, re-samples, tokenizes with or unloads an engine that
// another request is driving: reset, switch-conversation and tokenize answer
// 409 "mivrel_inferring" "Inference in progress" while a request holds the
// instance; unload asks the running request to stop and waits for it. Stop
// only signals (atomic state, abort flag, the engine's thread-safe abort).
// Every claim ends before the reply is written, and no lock is held while
// writing, so a client's next request finds the instance free.
//
// All run on the connection thread and send exactly one reply unless an
// exception leaves them (a failing engine operation: the request handler
// answers 500 "internal_error"; a failed auto-load is answered the same way). Body type errors of the client
// answer 400 "bad_request".
#pragma once

#include <string>

#include "net/http_request_handler.h"

struct ServiceContext;

// {"message": "context reset", "mivrelId", "ok": true}. Refuses an instance
// that is not loaded (409 "mivrel_not_running") or not an LLM (400).
void handleReset(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                 Response& response, const std::string& id);

// Moves a running instance to stopping and aborts its generation without
// waiting: "inference stopped"; "already stopped" when nothing ran (idle,
// loading, already stopping, or not loaded). The body must be JSON (400
// "Invalid JSON"), its content is not used.
void handleStop(const ServiceContext& services, HttpRequestHandler& handler, const Request& request, Response& response,
                const std::string& id);

// Unloads the engine: "unloaded", or "already unloaded" (after emptying a
// store marked "truncate_storage_on_unload"). A running request is stopped
// first; when the instance is not free within 5 s the answer is 409
// "mivrel_inferring" "Inference did not stop in time; unload aborted" and the
// engine stays loaded.
void handleUnload(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response, const std::string& id);

// Hands the instance to the body's "conversationId" (a string, "" when
// missing): the sampler is rebuilt, the KV context kept, the response
// bookkeeping emptied. Works loaded or not.
void handleSwitchConversation(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                              Response& response, const std::string& id);

// {"count", "mivrelId", "tokens"} of the body's "text" tokenized with special
// tokens recognised. An unloaded instance is loaded silently when
// "options"."autoLoad" is true, else refused 409 "mivrel_not_running".
void handleTokenize(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                    Response& response, const std::string& id);
