#include "api/file_routes.h"

#include "api/files_api.h"
#include "mgmt/service_context.h"
#include "net/router.h"

void installFileRoutes(const ServiceContext& services) {
    RouteHandlers& routes = routeHandlers();
    routes.files = bindServices(services, handleFiles);
    routes.bodyLimit = filesBodyLimit;
}
