// Serving one connection: the request handler that every connection gets
// (access guard, then the router) and the connection entry HttpServ.
#pragma once

#include <memory>
#include <string>

#include "net/http_request_handler.h"

class Peer;

// The handler class of every connection: handle() runs the access guard and
// the router and answers what nothing served with the JSON 404.
class HttpRequestHandlerImpl : public HttpRequestHandler {
public:
    using HttpRequestHandler::HttpRequestHandler;

    // Guard, router, JSON 404. Unexpected exceptions are logged and answered
    // 500 "internal_error" (or end the connection when a reply was started);
    // IOException and the HTTP exceptions pass on to the connection loop.
    void handle(HttpRequestHandler& handler, const Request& request, Response& response) override;

    // True to let the request through; false after a 403 reply was sent.
    bool checkDirectAccess(const Request& request, Response& response);
};

// A new handler for one connection, with no attributes.
std::unique_ptr<HttpRequestHandler> makeHttpRequestHandler(const std::string& webRoot, const std::string& publicPath,
                                                           Peer* peer, InputStream* input, OutputStream* output);

// Serves the connection's requests until it ends. Catches IOException (the
// normal end of a connection); other exceptions pass to the calling thread.
// The caller closes and releases the peer afterwards.
void HttpServ(Peer* peer, ConnOrigin origin);
// The same with request limits other than the defaults (tests lower the
// deadlines through it).
void HttpServ(Peer* peer, ConnOrigin origin, const RequestLimits& limits);
