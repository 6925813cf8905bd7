#include "api/instance_routes.h"

#include "api/instance_control.h"
#include "api/instance_list.h"
#include "api/instance_status.h"
#include "api/raw_prompt_stream.h"
#include "net/router.h"

void installInstanceRoutes() {
    RouteHandlers& routes = routeHandlers();
    routes.listMivrels = handleListMivrels;
    routes.createMivrel = handleCreateMivrel;
    routes.status = handleStatus;
    routes.modelInfo = handleModelInfo;
    routes.reset = handleReset;
    routes.stop = handleStop;
    routes.unload = handleUnload;
    routes.switchConversation = handleSwitchConversation;
    routes.tokenize = handleTokenize;
    routes.rawPromptStream = rawPromptStream;
}
