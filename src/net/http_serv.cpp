#include "net/http_serv.h"

#include "base/logger.h"
#include "base/text_util.h"
#include "net/access_guard.h"
#include "net/io_exception.h"
#include "net/router.h"
#include "net/streams.h"
#include "platform/socket_errors.h"

HttpRequestHandlerImpl::HttpRequestHandlerImpl(const RouteHandlers& routes, const NetOptions& options, Peer* peer,
                                               InputStream* input, OutputStream* output)
    : HttpRequestHandler(options.webappFilePath, options.webappPublicPath, peer, input, output), routes_(routes),
      options_(options) {}

BodyLimitRule HttpRequestHandlerImpl::defaultBodyLimit(const Request& head) const {
    return routeBodyLimit(routes_, head);
}

void HttpRequestHandlerImpl::handle(HttpRequestHandler& handler, const Request& request, Response& response) {
    try {
        if (!checkDirectAccess(request, response)) return;
        if (routeRequest(routes_, options_, handler, request, response)) return;
        logMessage(9, "[HTTP] Unknown Endpoint: %s", request.path.c_str());
        sendJsonError(handler, response, 404, "not_found", "Unknown endpoint: " + request.path);
    } catch (const IOException&) {
        throw;
    } catch (const HttpBadRequestException&) {
        throw;
    } catch (const HttpForbiddenException&) {
        throw;
    } catch (const HttpNotFoundException&) {
        throw;
    } catch (const std::exception& e) {
        logMessage(1, "[HTTP] Unhandled exception: %s", e.what());
        if (!responseSent()) {
            Response failure;
            sendJsonError(handler, failure, 500, "internal_error", e.what());
        } else {
            closeAfterReply();
        }
    }
}

bool HttpRequestHandlerImpl::checkDirectAccess(const Request& request, Response& response) {
    const ConnOrigin* origin = attribute<ConnOrigin>("origin");
    if (origin && *origin == ConnOrigin::Memory) return true;
    const std::string address = peer() ? peer()->getAddress() : std::string();
    const uint16_t* peerPort = attribute<uint16_t>("peerPort");
    if (peerPort && isRelayPort(address, *peerPort)) return true;

    // Host and Origin are the client's word; the socket's own address is not.
    if (!isLoopbackPeerAddress(address)) {
        logMessage(2, "[access] 직접 접속 거부 — 루프백이 아닌 주소: %s %s (peer=%s)", request.method.c_str(),
                   request.path.c_str(), address.c_str());
        sendJsonError(*this, response, 403, "forbidden", "direct access is only allowed from this machine");
        return false;
    }
    const std::string host = request.header("Host");
    if (!isLoopbackHost(host)) {
        logMessage(2, "[access] 직접 접속 거부 — Host 헤더가 루프백이 아님: %s %s (Host=%s)", request.method.c_str(),
                   request.path.c_str(), host.c_str());
        sendJsonError(*this, response, 403, "forbidden", "host header is not allowed for local access");
        return false;
    }
    const std::string originHeader = request.header("Origin");
    if (!originHeader.empty() && !isLoopbackOrigin(originHeader, options_.servPort)) {
        logMessage(2, "[access] 직접 접속 거부 — 다른 출처의 요청: %s %s (Origin=%s)", request.method.c_str(),
                   request.path.c_str(), originHeader.c_str());
        sendJsonError(*this, response, 403, "forbidden", "cross-origin request is not allowed");
        return false;
    }
    if (startsWith(request.path, "/v1/") && !options_.localV1Access) {
        logMessage(4, "[access] 직접 접속 거부 — /v1 은 RTC 경유만: %s %s", request.method.c_str(),
                   request.path.c_str());
        sendJsonError(*this, response, 403, "forbidden", "inference API is only available through the Halvoro gateway");
        return false;
    }
    return true;
}

std::unique_ptr<HttpRequestHandler> makeHttpRequestHandler(const RouteHandlers& routes, const NetOptions& options,
                                                           Peer* peer, InputStream* input, OutputStream* output) {
    return std::make_unique<HttpRequestHandlerImpl>(routes, options, peer, input, output);
}

void HttpServ(const RouteHandlers& routes, const NetOptions& options, Peer* peer, ConnOrigin origin) {
    HttpServ(routes, options, peer, origin, RequestLimits());
}

namespace {

void logTimedOut(const HttpRequestHandler& handler) {
    logMessage(9, "[HttpServ] idle keep-alive connection closed by timeout (last_request=%s)",
               handler.lastRequest().c_str());
}

class HttpSession : public ConnectionSession {
public:
    HttpSession(const RouteHandlers& routes, const NetOptions& options, Peer* peer, ConnOrigin origin,
                const RequestLimits& limits)
        : handler_(makeHttpRequestHandler(routes, options, peer, peer->getInputStream(), peer->getOutputStream())) {
        handler_->setRequestLimits(limits);
        handler_->setAttribute("origin", origin);
        handler_->setAttribute("peerPort", peer->getPort());
        if (routes.prepareConnection) routes.prepareConnection(*handler_);
    }
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    bool serve() override {
        try {
            return handler_->serveNextRequest();
        } catch (const IOException& e) {
            if (e.code() == sockerr::kTimedOut) {
                logTimedOut(*handler_);
            } else {
                logMessage(9, "[HttpServ] ioProcessingHandler() 중에 IOException: %s (code=%d, last_request=%s)",
                           e.what(), e.code(), handler_->lastRequest().c_str());
            }
            return false;
        }
    }

    void timedOut() override { logTimedOut(*handler_); }

private:
    std::unique_ptr<HttpRequestHandler> handler_;
};

}  // namespace

std::unique_ptr<ConnectionSession> makeHttpSession(const RouteHandlers& routes, const NetOptions& options,
                                                   Peer* peer, ConnOrigin origin, const RequestLimits& limits) {
    return std::make_unique<HttpSession>(routes, options, peer, origin, limits);
}

void HttpServ(const RouteHandlers& routes, const NetOptions& options, Peer* peer, ConnOrigin origin,
              const RequestLimits& limits) {
    logMessage(9, "[HttpServ] client(id:%u, ip:%s) connected", peer->getId(), peer->getAddress().c_str());
    HttpSession session(routes, options, peer, origin, limits);
    const int64_t start = nowMs();
    while (session.serve()) {
    }
    logMessage(9, "[HttpServ] client(id:%u) disconnected (%lld ms)", peer->getId(),
               static_cast<long long>(nowMs() - start));
}
