// The server's TCP listener: accepts IPv4 connections on the configured
// address. Connections that wait for a request (new ones, and kept-alive ones
// between requests) wait in one poller thread and cost a descriptor each; a
// connection goes to a worker thread only once its request head has arrived
// whole, and comes back to the poller after the request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/streams.h"

struct TcpServerOptions {
    // A connection that waits this long for the first byte of a request is
    // closed (the idle keep-alive time-out); a read in a worker that waits
    // this long fails with 10060.
    int receiveTimeoutMs = 30000;
    // The whole request head must arrive within this time of its first byte,
    // or the connection is closed; 0 off.
    int headDeadlineMs = 10000;
    // A write to a client that takes no byte for this long fails like a
    // disconnect (10060): a client that stops reading cannot pin a reply.
    int sendStallTimeoutMs = 30000;
    // Requests served at once (connections in a worker). A request whose
    // head arrives beyond it is answered 503 "server_busy" and its connection
    // closed. Connections that only wait do not count.
    int maxConnections = 256;
    // Connections waiting for a request at once; beyond it the one that has
    // waited longest is closed for the new one.
    int maxWaitingConnections = 16384;
    // How long a worker thread without work stays for the next request.
    int idleWorkerMs = 30000;
    // How long a worker waits on a kept-alive connection for its next
    // request before the poller takes the connection over (the connection
    // does not count as in work meanwhile); 0 hands it over at once.
    int keepAliveLingerMs = 100;
    // How long stop() waits for requests in work to finish after closing
    // their connections.
    int stopWaitMs = 5000;
};

// One connection's requests, served one at a time by the server's workers.
// Made once per connection (by TcpServer::setSessionFactory's function, on
// the poller thread) and used by one thread at a time; destroyed when the
// connection ends.
class ConnectionSession {
public:
    virtual ~ConnectionSession() = default;
    // Serves the request whose head has arrived (its head is buffered in the
    // peer's input stream). Returns true to keep the connection for another
    // request, false to end it. Exceptions end the connection and are logged.
    virtual bool serve() = 0;
    // The connection waited longer than allowed for a request or for the rest
    // of a head, and is closed now. Poller thread. The default does nothing.
    virtual void timedOut() {}
};

class TcpServer {
public:
    using PeerHandler = std::function<void(Peer*)>;
    using SessionFactory = std::function<std::unique_ptr<ConnectionSession>(Peer*)>;

    // A server that is not listening yet, with an empty peer list. `bindAddress`
    // is dotted IPv4 text or a host name (resolved to IPv4 at start()). Opens
    // no socket; fails only when memory runs out.
    static std::unique_ptr<TcpServer> create(const std::string& bindAddress, uint16_t port,
                                             const TcpServerOptions& options = {});

    // Stops the server (see stop()).
    virtual ~TcpServer() = default;

    // Binds, listens with a backlog of 1024 and starts the poller thread. Throws
    // std::runtime_error "Server already started" on a listening server, or
    // "resolve() failed: ", "socket() failed: ", "setsockopt() failed: ",
    // "bind() failed: ", "listen() failed: " followed by the system's text;
    // after those the server is left not listening. Throws std::system_error
    // when the accept thread cannot be created.
    virtual void start() = 0;

    // Stops accepting, joins the accept thread, closes every connection and
    // waits up to TcpServerOptions::stopWaitMs for the requests in work to
    // finish and then, within the same time, for the worker threads to end.
    // Returns whether every request has finished. Does nothing (and
    // returns true) when the server is not listening.
    virtual bool stop() = 0;

    // A snapshot of the connections being served. Thread-safe.
    virtual std::vector<std::shared_ptr<Peer>> peers() = 0;

    // Stores the function that serves a whole connection on a worker, from
    // the moment it is accepted (no waiting for a request head); the peer
    // stays valid until it returns, and the connection counts as in work
    // until then. For connections that are not HTTP. REQUIRES: called before
    // start(); not together with setSessionFactory.
    virtual void setPeerHandler(PeerHandler handler) = 0;

    // Stores the function that makes the session of each new connection
    // (HTTP): the connection waits in the poller until a request head has
    // arrived, then a worker runs ConnectionSession::serve. REQUIRES: called
    // before start(); not together with setPeerHandler.
    virtual void setSessionFactory(SessionFactory factory) = 0;

    // The port actually listened on (useful after binding port 0), or 0.
    virtual uint16_t listeningPort() const = 0;

    // Connections in a worker (requests in work). Thread-safe.
    virtual int activeConnections() = 0;

    // Connections that wait for a request in the poller. Thread-safe.
    virtual int waitingConnections() = 0;
};
