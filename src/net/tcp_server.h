// The server's TCP listener: accepts IPv4 connections on the configured
// address and serves each one on a thread of its own with the peer handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/streams.h"

struct TcpServerOptions {
    // A read that waits longer than this for the client fails with 10060,
    // which ends an idle keep-alive connection.
    int receiveTimeoutMs = 30000;
    // A write to a client that takes no byte for this long fails like a
    // disconnect (10060): a client that stops reading cannot pin a reply.
    int sendStallTimeoutMs = 30000;
    // Connections served at once. One more closes the oldest connection that
    // waits idle for a request, or, when none does, is answered 503 and
    // closed.
    int maxConnections = 256;
    // How long stop() waits for connection threads to finish after closing
    // their connections.
    int stopWaitMs = 5000;
};

class TcpServer {
public:
    using PeerHandler = std::function<void(Peer*)>;

    // A server that is not listening yet, with an empty peer list. `bindAddress`
    // is dotted IPv4 text or a host name (resolved to IPv4 at start()). Opens
    // no socket; fails only when memory runs out.
    static std::unique_ptr<TcpServer> create(const std::string& bindAddress, uint16_t port,
                                             const TcpServerOptions& options = {});

    // Stops the server (see stop()).
    virtual ~TcpServer() = default;

    // Binds, listens with a backlog of 20 and starts the accept thread. Throws
    // std::runtime_error "Server already started" on a listening server, or
    // "resolve() failed: ", "socket() failed: ", "setsockopt() failed: ",
    // "bind() failed: ", "listen() failed: " followed by the system's text;
    // after those the server is left not listening. Throws std::system_error
    // when the accept thread cannot be created.
    virtual void start() = 0;

    // Stops accepting, joins the accept thread, closes every connection and
    // waits up to TcpServerOptions::stopWaitMs for their threads to finish.
    // Returns whether every connection thread has finished. Does nothing (and
    // returns true) when the server is not listening.
    virtual bool stop() = 0;

    // A snapshot of the connections being served. Thread-safe.
    virtual std::vector<std::shared_ptr<Peer>> peers() = 0;

    // Stores the function that serves one connection on its own thread; the
    // peer stays valid until it returns. REQUIRES: called before start().
    virtual void setPeerHandler(PeerHandler handler) = 0;

    // The port actually listened on (useful after binding port 0), or 0.
    virtual uint16_t listeningPort() const = 0;

    // Connection threads that have not finished yet. Thread-safe.
    virtual int activeConnections() = 0;
};
