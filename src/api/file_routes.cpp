#include "api/file_routes.h"

#include "api/files_api.h"
#include "net/router.h"

void installFileRoutes() {
    RouteHandlers& routes = routeHandlers();
    routes.files = handleFiles;
    routes.bodyLimit = filesBodyLimit;
}
