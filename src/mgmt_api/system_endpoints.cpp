#include "mgmt_api/system_endpoints.h"

#include "mgmt/service_context.h"
#include "mgmt_api/mgmt_reply.h"
#include "sysinfo/product_info.h"
#include "sysinfo/system_figures.h"
#include "sysinfo/system_status.h"

void handleSystemStatus(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                        Response& response) {
    // A plain substring test of the raw query, as the pages have always sent it.
    const bool includeSpec = request.query.find("include=spec") != std::string::npos;
    sendJson(handler, response, systemStatusDocument(services.folders, services.mivrels.get(), includeSpec));
}

void handleProductInfo(const ServiceContext& services, HttpRequestHandler& handler, const Request& request,
                       Response& response) {
    const bool refresh = request.query.find("refresh=1") != std::string::npos;
    nlohmann::json document = productInfo(services.folders.models, refresh);
    document["cpu"] = cpuInfoJson();
    sendJson(handler, response, document);
}
