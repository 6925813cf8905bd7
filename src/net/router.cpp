#include "net/router.h"

#include <cctype>
#include <iterator>

#include "base/text_util.h"
#include "net/http_request_handler.h"

namespace {

const char kInstancePrefix[] = "/v1/mivrel/";

// Pages and trees of the web application, with the index page that their
// bare folder paths stand for ("" when the path goes through unchanged).
struct StaticRow {
    const char* base;  // exact path, and prefix base + "/"
    const char* index;
    bool tree;
};
const StaticRow kStaticRows[] = {
    {"/test", "/test/index.html", true},
    {"/admin", "/admin/index.html", true},
    {"/", "/index.html", false},
    {"/runtime_status.html", "", false},
    {"/product_info.html", "", false},
    {"/assets", "", true},
    {"/app", "/app/index.html", true},
};

// Returns the path the static file server should see, or "" when `path` is
// not a web application path of `row`.
std::string staticPathFor(const StaticRow& row, const std::string& path) {
    const std::string base = row.base;
    if (!row.tree) {
        if (path == base || (base == "/" && path.empty())) return *row.index ? row.index : path;
        return std::string();
    }
    if (path == base || path == base + "/") return *row.index ? row.index : path;
    if (startsWith(path, base + "/")) return path;
    return std::string();
}

// Instance rows in table order: method, suffix, slot.
struct InstanceRow {
    const char* method;
    const char* suffix;
    InstanceRoute RouteHandlers::*slot;
};
const InstanceRow kRowsBeforeFiles[] = {
    {"POST", "/reset", &RouteHandlers::reset},
    {"POST", "/messages", &RouteHandlers::messages},
    {"POST", "/rawPromptStream", &RouteHandlers::rawPromptStream},
    {"GET", "/status", &RouteHandlers::status},
    {"GET", "/modelInfo", &RouteHandlers::modelInfo},
    {"POST", "/stop", &RouteHandlers::stop},
    {"POST", "/unload", &RouteHandlers::unload},
    {"POST", "/tokenize", &RouteHandlers::tokenize},
};
struct GenerateRow {
    const char* suffix;
    const char* familyType;
    const char* endpoint;
};
const GenerateRow kGenerateRows[] = {
    {"/imageGenerate", "IMAGE", "imageGenerate"},
    {"/speechGenerate", "AUDIO", "speechGenerate"},
    {"/videoGenerate", "VIDEO", "videoGenerate"},
};
const InstanceRow kRowsAfterGenerate[] = {
    {"POST", "/choice", &RouteHandlers::choice},
    {"POST", "/systemone", &RouteHandlers::systemOne},
    {"POST", "/switch-conversation", &RouteHandlers::switchConversation},
};

void sendServiceDown(HttpRequestHandler& handler, Response& response) {
    response.status = 503;
    response.reason = "Service Unavailable";
    response.headers["Content-Type"] = "application/json";
    response.setBody(std::string(
        "{\"error\":{\"code\":\"inference_service_down\",\"message\":\"Inference service is not active. Run "
        "'brisvane up' to activate.\"}}"));
    handler.sendResponse(response);
}

// Runs the instance row that matches, if any. Returns whether a row matched
// (served or not) and sets *served.
bool tryInstanceRows(const RouteHandlers& routes, const InstanceRow* rows, size_t count, HttpRequestHandler& handler,
                     const Request& request, Response& response, bool* served) {
    for (size_t i = 0; i < count; ++i) {
        if (request.method != rows[i].method) continue;
        const std::string id = extractPathParam(request.path, kInstancePrefix, rows[i].suffix);
        if (id.empty()) continue;
        const InstanceRoute& route = routes.*(rows[i].slot);
        *served = static_cast<bool>(route);
        if (route) route(handler, request, response, id);
        return true;
    }
    return false;
}

}  // namespace

bool routeRequest(const RouteHandlers& routes, const NetOptions& options, HttpRequestHandler& handler,
                  const Request& request, Response& response) {
    const std::string& path = request.path;

    if (request.method == "GET") {
        for (const StaticRow& row : kStaticRows) {
            const std::string servedPath = staticPathFor(row, path);
            if (servedPath.empty()) continue;
            if (!routes.serveStaticFile) return false;
            Request rewritten = request;
            rewritten.path = servedPath;
            routes.serveStaticFile(handler, rewritten, response);
            // A large file is written by the server itself as it is read.
            if (!handler.responseSent()) handler.sendResponse(response);
            return true;
        }
    }

    if (startsWith(path, "/mgmt-api/")) return routes.routeMgmtApi && routes.routeMgmtApi(handler, request, response);

    if (!startsWith(path, "/v1/")) return false;
    if (!options.inferenceOn()) {
        sendServiceDown(handler, response);
        return true;
    }

    if (request.method == "GET" && (path == "/v1/mivrels" || path == "/v1/mivrelList")) {
        if (!routes.listMivrels) return false;
        routes.listMivrels(handler, request, response);
        return true;
    }
    if (request.method == "POST" && path == "/v1/mivrel") {
        if (!routes.createMivrel) return false;
        routes.createMivrel(handler, request, response);
        return true;
    }

    bool served = false;
    if (tryInstanceRows(routes, kRowsBeforeFiles, std::size(kRowsBeforeFiles), handler, request, response, &served))
        return served;

    std::string id;
    std::string name;
    if (parseFilesPath(path, &id, &name)) {
        if (!routes.files) return false;
        routes.files(handler, request, response, request.method, id, name);
        return true;
    }

    if (request.method == "POST") {
        for (const GenerateRow& row : kGenerateRows) {
            const std::string instance = extractPathParam(path, kInstancePrefix, row.suffix);
            if (instance.empty()) continue;
            if (!routes.generate) return false;
            routes.generate(handler, request, response, instance, row.familyType, row.endpoint);
            return true;
        }
    }

    if (tryInstanceRows(routes, kRowsAfterGenerate, std::size(kRowsAfterGenerate), handler, request, response, &served))
        return served;
    return false;
}

BodyLimitRule routeBodyLimit(const RouteHandlers& routes, const Request& head) {
    const BodyLimit& limit = routes.bodyLimit;
    return limit ? limit(head) : BodyLimitRule{};
}

std::string extractPathParam(const std::string& path, const std::string& prefix, const std::string& suffix) {
    if (path.size() <= prefix.size() + suffix.size()) return std::string();
    if (path.compare(0, prefix.size(), prefix) != 0) return std::string();
    if (path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) return std::string();
    return path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
}

bool parseFilesPath(const std::string& path, std::string* id, std::string* name) {
    const std::string prefix = kInstancePrefix;
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string rest = path.substr(prefix.size());
    if (rest.size() < 6) return false;
    const size_t files = rest.find("/files");
    if (files == std::string::npos || files == 0) return false;
    const std::string after = rest.substr(files + 6);
    if (!after.empty() && after[0] != '/') return false;
    const std::string instance = rest.substr(0, files);
    if (instance.find('/') != std::string::npos) return false;
    *id = instance;
    *name = after.empty() ? std::string() : after.substr(1);
    return true;
}
