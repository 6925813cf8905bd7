// Serving one connection: the request handler that every connection gets
// (access guard, then the router) and the connection entry HttpServ.
#pragma once

#include <memory>
#include <string>

#include "net/http_request_handler.h"
#include "net/net_options.h"
#include "net/router.h"
#include "net/tcp_server.h"

class Peer;

// The handler class of every connection: handle() runs the access guard
// with `options` and the router over `routes` and answers what nothing served
// with the JSON 404. The web root and public path are the options' web
// application paths. `routes` and `options` must outlive the handler.
class HttpRequestHandlerImpl : public HttpRequestHandler {
public:
    HttpRequestHandlerImpl(const RouteHandlers& routes, const NetOptions& options, Peer* peer, InputStream* input,
                           OutputStream* output);

    // Guard, router, JSON 404. Unexpected exceptions are logged and answered
    // 500 "internal_error" (or end the connection when a reply was started);
    // IOException and the HTTP exceptions pass on to the connection loop.
    void handle(HttpRequestHandler& handler, const Request& request, Response& response) override;

    // True to let the request through; false after a 403 reply was sent.
    bool checkDirectAccess(const Request& request, Response& response);

protected:
    // The route table's limit for the request head.
    BodyLimitRule defaultBodyLimit(const Request& head) const override;

private:
    const RouteHandlers& routes_;
    const NetOptions& options_;
};

// A new handler for one connection, with no attributes, routing by `routes`
// with `options` (both must outlive it).
std::unique_ptr<HttpRequestHandler> makeHttpRequestHandler(const RouteHandlers& routes, const NetOptions& options,
                                                           Peer* peer, InputStream* input, OutputStream* output);

// Serves the connection's requests by `routes` with `options` until it ends.
// Catches IOException (the normal end of a connection); other exceptions pass
// to the calling thread. The caller closes and releases the peer afterwards.
void HttpServ(const RouteHandlers& routes, const NetOptions& options, Peer* peer, ConnOrigin origin);
// The same with request limits other than the defaults (tests lower the
// deadlines through it).
void HttpServ(const RouteHandlers& routes, const NetOptions& options, Peer* peer, ConnOrigin origin,
              const RequestLimits& limits);

// The session of one accepted connection for TcpServer::setSessionFactory:
// each serve() reads and answers one request (its head already buffered) by
// `routes` with `options`, like HttpServ does in a loop. An IOException ends
// the connection (serve() returns false). `routes` and `options` must
// outlive it.
std::unique_ptr<ConnectionSession> makeHttpSession(const RouteHandlers& routes, const NetOptions& options,
                                                   Peer* peer, ConnOrigin origin,
                                                   const RequestLimits& limits = RequestLimits());
