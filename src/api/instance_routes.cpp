#include "api/instance_routes.h"

#include "api/instance_list.h"
#include "api/instance_status.h"
#include "net/router.h"

void installInstanceRoutes() {
    RouteHandlers& routes = routeHandlers();
    routes.listMivrels = handleListMivrels;
    routes.createMivrel = handleCreateMivrel;
    routes.status = handleStatus;
    routes.modelInfo = handleModelInfo;
}
