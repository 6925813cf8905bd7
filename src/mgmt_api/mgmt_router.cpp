#include "mgmt_api/mgmt_router.h"

#include <string>

#include "base/text_util.h"
#include "mgmt_api/app_update_endpoints.h"
#include "mgmt_api/catalog_endpoints.h"
#include "mgmt_api/cli_endpoints.h"
#include "mgmt_api/download_endpoints.h"
#include "mgmt_api/event_endpoints.h"
#include "mgmt_api/inspection_endpoints.h"
#include "mgmt_api/instance_endpoints.h"
#include "mgmt_api/lifecycle_endpoints.h"
#include "mgmt_api/model_endpoints.h"
#include "mgmt_api/runtime_property_endpoints.h"
#include "mgmt_api/system_endpoints.h"
#include "net/router.h"

namespace {

using PlainHandler = void (*)(const ServiceContext&, HttpRequestHandler&, const Request&, Response&);
using IdHandler = void (*)(const ServiceContext&, HttpRequestHandler&, const Request&, Response&, const std::string&);

// One row: a fixed path (suffix empty, plain handler), a path that only has
// to begin with the prefix (matchPrefix, plain handler), or an {id} path
// between prefix and suffix (id handler).
struct MgmtRoute {
    const char* method;
    const char* prefix;
    const char* suffix;
    PlainHandler plain;
    IdHandler withId;
    bool idWithoutSlash;
    bool matchPrefix = false;
};

constexpr MgmtRoute kRoutes[] = {
    {"GET", "/mgmt-api/mivrelList", nullptr, handleMivrelList, nullptr, false},
    {"POST", "/mgmt-api/mivrelCreate", nullptr, handleMivrelCreate, nullptr, false},
    {"GET", "/mgmt-api/mivrel/", "/properties", nullptr, handleGetMivrelProperties, false},
    {"PATCH", "/mgmt-api/mivrel/", "/properties", nullptr, handlePatchMivrelProperties, false},
    {"POST", "/mgmt-api/mivrel/", "/start", nullptr, handleMivrelStart, false},
    {"POST", "/mgmt-api/mivrel/", "/stop", nullptr, handleMivrelStop, false},
    {"POST", "/mgmt-api/mivrel/", "/unload", nullptr, handleMivrelUnload, false},
    {"POST", "/mgmt-api/mivrel/", "/storage/reset", nullptr, handleMivrelStorageReset, true},
    {"POST", "/mgmt-api/mivrel/", "/reset", nullptr, handleMivrelReset, false},
    {"POST", "/mgmt-api/mivrel/", "/reload", nullptr, handleMivrelReload, false},
    {"POST", "/mgmt-api/mivrel/", "/delete", nullptr, handleMivrelDelete, false},
    {"GET", "/mgmt-api/productInfo", nullptr, handleProductInfo, nullptr, false, true},
    {"GET", "/mgmt-api/systemStatus", nullptr, handleSystemStatus, nullptr, false, true},
    {"GET", "/mgmt-api/events", nullptr, handleListEvents, nullptr, false},
    {"POST", "/mgmt-api/events/clear", nullptr, handleClearEvents, nullptr, false},
    {"POST", "/mgmt-api/events/", "/delete", nullptr, handleDeleteEvent, false},
    {"GET", "/mgmt-api/runtime_properties", nullptr, handleGetRuntimeProperties, nullptr, false},
    {"PATCH", "/mgmt-api/runtime_properties", nullptr, handlePatchRuntimeProperties, nullptr, false},
    {"GET", "/mgmt-api/cli/status", nullptr, handleCliStatus, nullptr, false},
    {"POST", "/mgmt-api/cli/up", nullptr, handleCliUp, nullptr, false},
    {"POST", "/mgmt-api/cli/down", nullptr, handleCliDown, nullptr, false},
    {"POST", "/mgmt-api/cli/shutdown", nullptr, handleCliShutdown, nullptr, false},
    {"POST", "/mgmt-api/cli/reset", nullptr, handleCliReset, nullptr, false},
    {"GET", "/mgmt-api/app/updateAvailable", nullptr, checkAppUpdate, nullptr, false},
    {"POST", "/mgmt-api/app/updateDownload", nullptr, handleUpdateDownload, nullptr, false},
    {"GET", "/mgmt-api/app/updateDownload", nullptr, handleUpdateDownloadStatus, nullptr, false},
    {"POST", "/mgmt-api/app/updateLocal", nullptr, handleUpdateLocal, nullptr, false},
    {"POST", "/mgmt-api/app/triggerUpdate", nullptr, handleTriggerUpdate, nullptr, false},
    {"POST", "/mgmt-api/registerBrisvane", nullptr, handleRegisterBrisvane, nullptr, false},
    {"GET", "/mgmt-api/models", nullptr, handleListModels, nullptr, false},
    {"POST", "/mgmt-api/models/registerLocal", nullptr, handleRegisterLocalModel, nullptr, false},
    {"POST", "/mgmt-api/models/download", nullptr, handleStartModelDownload, nullptr, false},
    {"GET", "/mgmt-api/models/download", nullptr, handleListDownloads, nullptr, false},
    {"POST", "/mgmt-api/models/", "/pauseDownload", nullptr, handlePauseDownload, false},
    {"POST", "/mgmt-api/models/", "/cancelDownload", nullptr, handleCancelDownload, false},
    {"POST", "/mgmt-api/models/", "/refreshCatalog", nullptr, handleRefreshCatalog, false},
    {"POST", "/mgmt-api/models/", "/delete", nullptr, handleDeleteModel, false},
    {"POST", "/mgmt-api/models/", "/openFolder", nullptr, handleOpenModelFolder, false},
    {"GET", "/mgmt-api/models/", "/properties", nullptr, handleGetModelProperties, false},
    {"PATCH", "/mgmt-api/models/", "/properties", nullptr, handlePatchModelProperties, false},
    {"GET", "/mgmt-api/modelCatalog", nullptr, handleModelCatalog, nullptr, false, true},
    {"GET", "/mgmt-api/mivrel/", "/modelSpec", nullptr, handleModelSpec, false},
    {"GET", "/mgmt-api/mivrel/", "/layerTensors", nullptr, handleLayerTensors, false},
};

}  // namespace

bool routeMgmtApi(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                  Response& response) {
    const std::string& path = request.path;
    for (const MgmtRoute& route : kRoutes) {
        if (request.method != route.method) continue;
        if (route.plain) {
            if (route.matchPrefix ? !startsWith(path, route.prefix) : path != route.prefix) continue;
            route.plain(services, handler, request, response);
            return true;
        }
        const std::string id = extractPathParam(path, route.prefix, route.suffix);
        if (id.empty()) continue;
        if (route.idWithoutSlash && id.find('/') != std::string::npos) continue;
        route.withId(services, handler, request, response, id);
        return true;
    }
    return false;
}

void installMgmtRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.routeMgmtApi = [&services](HttpRequestHandler& handler, const Request& request, Response& response) {
        return routeMgmtApi(services, handler, request, response);
    };
}
