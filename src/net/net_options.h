// NetOptions: what the HTTP front end knows of the server's configuration.
//
// Start-up fills one object from the configuration before the first
// connection and hands it, with the route table, to every connection it
// serves (direct and relayed); afterwards it is only read, so connection
// threads read it without a lock. It must outlive those connections. The
// defaults are the configuration's defaults. Tests build their own.
#pragma once

#include <atomic>
#include <string>

struct NetOptions {
    // The port this server listens on (SERV_PORT): its own pages send an
    // Origin of http://localhost:<port> and the like.
    int servPort = 4092;
    // LOCAL_V1_ACCESS: direct local connections may call "/v1/" paths.
    bool localV1Access = false;
    // WEBAPP_FILE_PATH and WEBAPP_PUBLIC_PATH: the web application's folder
    // and the public path its pages are served below.
    std::string webappFilePath = "webapp";
    std::string webappPublicPath;
    // Whether the inference service is on (runtime property BRISVANE_EXPORT).
    // It changes while the server runs; its owner (the runtime properties)
    // keeps it, the front end only reads it. Null reads as off.
    const std::atomic<bool>* inferenceExported = nullptr;

    bool inferenceOn() const { return inferenceExported && inferenceExported->load(); }
};
