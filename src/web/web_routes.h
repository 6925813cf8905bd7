// Plugs the web application into the router: the static file server for the
// page and asset routes, and the per-connection attributes that pages need.
#pragma once

class HttpRequestHandler;
struct RouteHandlers;

// Installs serveStaticFile and the connection set-up into `routes`. Call once
// at start-up, before the TCP server starts.
void installWebRoutes(RouteHandlers& routes);

// Gives a new connection its page attributes: "sst", a template processor
// for the web folder with APP_VERSION set to the program's version, and
// "enable_cache" false (every page is rendered afresh).
void prepareWebConnection(HttpRequestHandler& handler);
