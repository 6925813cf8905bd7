// The URL router: the fixed route table that maps every request that passed
// the access guard to the web application's files, the management API or an
// inference API handler.
//
// The table is data; the handlers behind it are a RouteHandlers object that
// start-up fills and hands to the connections it serves. A row whose handler is not installed serves
// nothing, so its requests get the request handler's JSON 404 "not_found",
// exactly like a path that no row names. While the inference service is off
// (NetOptions::inferenceOn() false) every "/v1/" path is answered 503 before
// any inference row is looked at.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/http_request.h"
#include "net/http_response.h"
#include "net/net_options.h"

class HttpRequestHandler;

// (handler, request, response)
using RequestRoute = std::function<void(HttpRequestHandler&, const Request&, Response&)>;
// (handler, request, response, instance id)
using InstanceRoute = std::function<void(HttpRequestHandler&, const Request&, Response&, const std::string&)>;
// (handler, request, response, method, instance id, file name)
using FilesRoute = std::function<void(HttpRequestHandler&, const Request&, Response&, const std::string&,
                                      const std::string&, const std::string&)>;
// (handler, request, response, instance id, familyType, endpoint name)
using GenerateRoute = std::function<void(HttpRequestHandler&, const Request&, Response&, const std::string&,
                                         const std::string&, const std::string&)>;
// (handler, request, response) -> whether a management route served it
using MgmtRouter = std::function<bool(HttpRequestHandler&, const Request&, Response&)>;
// Fills `response` with the web application file for `request.path` (already
// rewritten to its index page) or throws an HTTP exception; the router sends
// it, unless the server already wrote it (files streamed as they are read).
using StaticFileServer = std::function<void(HttpRequestHandler&, const Request&, Response&)>;
// (request line and headers) -> the most body bytes accepted for it and how
// a larger one is refused; maxBytes 0 for the front end's general limit
using BodyLimit = std::function<BodyLimitRule(const Request&)>;
// Called for every new connection after its "origin" and "peerPort"
// attributes are set, for per-connection attributes of the web pages.
using ConnectionSetup = std::function<void(HttpRequestHandler&)>;

// The handlers behind the route table, one slot per handler. Start-up owns
// the one object of the server, the installers fill its slots before the
// first connection arrives, and afterwards it is only read (no lock); it must
// outlive every connection served with it. Tests build their own.
struct RouteHandlers {
    StaticFileServer serveStaticFile;  // rows 1-7
    ConnectionSetup prepareConnection;
    BodyLimit bodyLimit;               // consulted before a request body is read
    MgmtRouter routeMgmtApi;           // "/mgmt-api/"
    RequestRoute listMivrels;          // GET /v1/mivrels, GET /v1/mivrelList
    RequestRoute createMivrel;         // POST /v1/mivrel
    InstanceRoute reset;               // POST /v1/mivrel/{id}/reset
    InstanceRoute messages;            // POST .../messages
    InstanceRoute rawPromptStream;     // POST .../rawPromptStream
    InstanceRoute status;              // GET .../status
    InstanceRoute modelInfo;           // GET .../modelInfo
    InstanceRoute stop;                // POST .../stop
    InstanceRoute unload;              // POST .../unload
    InstanceRoute tokenize;            // POST .../tokenize
    FilesRoute files;                  // any .../files, .../files/{name}
    GenerateRoute generate;            // POST .../imageGenerate, speechGenerate, videoGenerate
    InstanceRoute choice;              // POST .../choice
    InstanceRoute systemOne;           // POST .../systemone
    InstanceRoute switchConversation;  // POST .../switch-conversation
};

// The body limits the routes declare. Routes that read no body (clients do
// send "{}" there) take a few KiB; the JSON bodies of the inference and
// management APIs a few MiB; the file upload declares its own through
// RouteHandlers::bodyLimit. Requests that no route serves take what a route
// without a body takes.
inline constexpr uint64_t kNoBodyLimitBytes = 8 * 1024;
inline constexpr uint64_t kJsonBodyLimitBytes = 4 * 1024 * 1024;

// The body limit of a request head: routes.bodyLimit's rule when it names a
// limit (maxBytes above 0), else the limit its route row declares, refused
// with 413 and a text that names that limit. Never 0.
BodyLimitRule routeBodyLimit(const RouteHandlers& routes, const Request& head);

// The limit the route table declares for `method` and `path` (one of the two
// constants above).
uint64_t declaredBodyLimit(const std::string& method, const std::string& path);

// Dispatches `request` by the route table to the handlers in `routes`, with
// the inference service's state read from `options` at the request. Returns
// true when a row served it, false when none did (nothing written).
// Exceptions of handlers pass through.
bool routeRequest(const RouteHandlers& routes, const NetOptions& options, HttpRequestHandler& handler,
                  const Request& request, Response& response);

// The part of `path` between `prefix` and `suffix`, "" when the path does not
// begin and end with them or nothing lies between.
std::string extractPathParam(const std::string& path, const std::string& prefix, const std::string& suffix);

// Splits "/v1/mivrel/{id}/files" or ".../files/{name}" (id without "/").
bool parseFilesPath(const std::string& path, std::string* id, std::string* name);
