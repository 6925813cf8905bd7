// The HTTP front end of one connection: the input is everything a client
// sends on it. The real connection entry (HttpServ: request reader, access
// guard, router, replies and refusals) serves it with small stand-in handlers
// behind the routes: a JSON echo for the chat route, a streamed reply for the
// status route, the files route's Range parse and its upload body limit.
// Checks that every reply the server wrote starts as an HTTP/1.1 status line.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/files_api.h"
#include "base/json_parse.h"
#include "base/logger.h"
#include "net/fake_peer.h"
#include "net/http_serv.h"
#include "net/router.h"

namespace {

// Filled once, then only read.
RouteHandlers gRoutes;
NetOptions gOptions;
std::atomic<bool> gExported{true};

void installStandInRoutes(RouteHandlers& routes) {
    routes.bodyLimit = filesBodyLimit;
    routes.messages = [](HttpRequestHandler& handler, const Request& request, Response& response,
                         const std::string& id) {
        nlohmann::json body;
        try {
            body = parseJson(std::string(request.body.begin(), request.body.end()));
        } catch (const nlohmann::json::parse_error& e) {
            return sendJsonError(handler, response, 400, "bad_request", invalidJsonMessage(e));
        }
        response.headers["Content-Type"] = "application/json";
        response.setBody(nlohmann::json{{"id", id}, {"body", body}}.dump(-1, ' ', false,
                                                                          nlohmann::json::error_handler_t::replace));
        handler.sendResponse(response);
    };
    routes.status = [](HttpRequestHandler& handler, const Request& request, Response& response,
                       const std::string& id) {
        response.headers["Content-Type"] = "text/event-stream";
        handler.beginChunked(response);
        handler.writeChunk(formatSseEvent("status", id));
        handler.writeChunk(request.query);
        handler.endChunked();
    };
    routes.files = [](HttpRequestHandler& handler, const Request& request, Response& response,
                      const std::string& method, const std::string& id, const std::string& name) {
        uint64_t start = 0, end = 0;
        const int range = parseRangeHeader(request.header("Range"), 100, start, end);
        response.setBody(method + " " + id + "/" + name + " " + std::to_string(range) + " " + std::to_string(start) +
                         "-" + std::to_string(end));
        handler.sendResponse(response);
    };
}

bool initOnce() {
    setLogEnabled(false);
    gOptions.localV1Access = true;
    gOptions.inferenceExported = &gExported;
    installStandInRoutes(gRoutes);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = initOnce();
    (void)ready;
    FakePeer peer(std::string(reinterpret_cast<const char*>(data), size));
    HttpServ(gRoutes, gOptions, &peer, ConnOrigin::Socket);
    const std::string& written = peer.output().written;
    if (!written.empty() && written.compare(0, 9, "HTTP/1.1 ") != 0) std::abort();
    return 0;
}
