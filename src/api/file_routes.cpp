#include "api/file_routes.h"

#include "api/files_api.h"
#include "mgmt/service_context.h"
#include "net/router.h"

void installFileRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.files = bindServices(services, handleFiles);
    routes.bodyLimit = filesBodyLimit;
}
