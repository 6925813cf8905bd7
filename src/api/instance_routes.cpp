#include "api/instance_routes.h"

#include "api/instance_control.h"
#include "api/instance_list.h"
#include "api/instance_status.h"
#include "api/raw_prompt_stream.h"
#include "mgmt/service_context.h"
#include "net/router.h"

void installInstanceRoutes(RouteHandlers& routes, const ServiceContext& services) {
    routes.listMivrels = bindServices(services, handleListMivrels);
    routes.createMivrel = bindServices(services, handleCreateMivrel);
    routes.status = bindServices(services, handleStatus);
    routes.modelInfo = bindServices(services, handleModelInfo);
    routes.reset = bindServices(services, handleReset);
    routes.stop = bindServices(services, handleStop);
    routes.unload = bindServices(services, handleUnload);
    routes.switchConversation = bindServices(services, handleSwitchConversation);
    routes.tokenize = bindServices(services, handleTokenize);
    routes.rawPromptStream = bindServices(services, rawPromptStream);
}
