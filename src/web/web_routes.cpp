#include "web/web_routes.h"

#include <filesystem>

#include "base/logger.h"
#include "base/version.h"
#include "net/http_request_handler.h"
#include "net/router.h"
#include "web/sst_processor.h"
#include "web/static_files.h"

void prepareWebConnection(HttpRequestHandler& handler) {
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    SSTProcessor sst((cwd / handler.webRoot()).string());
    sst.setVariable("APP_VERSION", kAppVersion);
    handler.setAttribute("sst", sst);
    logMessage(9, "[HttpServ] Cache Enable: %d", 0);
    handler.setAttribute("enable_cache", false);
}

void installWebRoutes(RouteHandlers& routes) {
    routes.serveStaticFile = serveStaticFile;
    routes.prepareConnection = prepareWebConnection;
}
