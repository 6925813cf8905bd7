#include "api/api_routes.h"

#include "api/chat_messages.h"
#include "api/decision_endpoints.h"
#include "api/file_routes.h"
#include "api/generate_endpoint.h"
#include "api/instance_routes.h"
#include "net/router.h"

// Each endpoint family installs its own slots, so families can be added
// without touching one another's files.
void installApiRoutes(RouteHandlers& routes, const ServiceContext& services) {
    installInstanceRoutes(routes, services);
    installFileRoutes(routes, services);
    installChatRoutes(routes, services);
    installDecisionRoutes(routes, services);
    installGenerateRoutes(routes, services);
}
