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

constexpr uint64_t kNoBody = kNoBodyLimitBytes;
constexpr uint64_t kJson = kJsonBodyLimitBytes;

// Instance rows in table order: method, suffix, slot, body limit.
struct InstanceRow {
    const char* method;
    const char* suffix;
    InstanceRoute RouteHandlers::*slot;
    uint64_t bodyLimit;
};
const InstanceRow kRowsBeforeFiles[] = {
    {"POST", "/reset", &RouteHandlers::reset, kNoBody},
    {"POST", "/messages", &RouteHandlers::messages, kJson},
    {"POST", "/rawPromptStream", &RouteHandlers::rawPromptStream, kJson},
    {"GET", "/status", &RouteHandlers::status, kNoBody},
    {"GET", "/modelInfo", &RouteHandlers::modelInfo, kNoBody},
    {"POST", "/stop", &RouteHandlers::stop, kNoBody},
    {"POST", "/unload", &RouteHandlers::unload, kNoBody},
    {"POST", "/tokenize", &RouteHandlers::tokenize, kJson},
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
    {"POST", "/choice", &RouteHandlers::choice, kJson},
    {"POST", "/systemone", &RouteHandlers::systemOne, kJson},
    {"POST", "/switch-conversation", &RouteHandlers::switchConversation, kJson},
};

// The row of `rows` that matches, or null.
const InstanceRow* matchingRow(const InstanceRow* rows, size_t count, const std::string& method,
                               const std::string& path) {
    for (size_t i = 0; i < count; ++i) {
        if (method == rows[i].method && !extractPathParam(path, kInstancePrefix, rows[i].suffix).empty())
            return &rows[i];
    }
    return nullptr;
}

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

uint64_t declaredBodyLimit(const std::string& method, const std::string& path) {
    // Same order as routeRequest, so a path takes the limit of the row that
    // serves it.
    if (method == "GET" || method == "HEAD" || method == "DELETE") return kNoBody;
    if (startsWith(path, "/mgmt-api/")) return kJson;
    if (!startsWith(path, "/v1/")) return kNoBody;
    if (path == "/v1/mivrel") return method == "POST" ? kJson : kNoBody;
    if (const InstanceRow* row = matchingRow(kRowsBeforeFiles, std::size(kRowsBeforeFiles), method, path))
        return row->bodyLimit;
    std::string id;
    std::string name;
    // Uploads declare their own limit (RouteHandlers::bodyLimit).
    if (parseFilesPath(path, &id, &name)) return kNoBody;
    if (method == "POST") {
        for (const GenerateRow& row : kGenerateRows) {
            if (!extractPathParam(path, kInstancePrefix, row.suffix).empty()) return kJson;
        }
    }
    if (const InstanceRow* row = matchingRow(kRowsAfterGenerate, std::size(kRowsAfterGenerate), method, path))
        return row->bodyLimit;
    return kNoBody;
}

BodyLimitRule routeBodyLimit(const RouteHandlers& routes, const Request& head) {
    if (routes.bodyLimit) {
        BodyLimitRule own = routes.bodyLimit(head);
        if (own.maxBytes > 0) return own;
    }
    BodyLimitRule rule;
    rule.maxBytes = declaredBodyLimit(head.method, head.path);
    rule.status = 413;
    rule.message = "Request body too large: " + head.method + " " + head.path + " takes at most " +
                   std::to_string(rule.maxBytes) + " bytes";
    return rule;
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
