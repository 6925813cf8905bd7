// The TCP server and its socket streams over real loopback connections.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "net/io_exception.h"
#include "net/tcp_server.h"
#include "support/http_client.h"

namespace {

using namespace std::chrono_literals;

// Waits until `predicate` holds, for at most `timeout`.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::unique_ptr<TcpServer> startServer(TcpServer::PeerHandler handler, TcpServerOptions options = {},
                                       const std::string& address = "127.0.0.1") {
    auto server = TcpServer::create(address, 0, options);
    server->setPeerHandler(std::move(handler));
    server->start();
    return server;
}

TEST(TcpServer, StartStopAndErrors) {
    auto server = TcpServer::create("127.0.0.1", 0);
    EXPECT_TRUE(server->stop()) << "stop before start does nothing";
    server->setPeerHandler([](Peer*) {});
    server->start();
    const uint16_t port = server->listeningPort();
    ASSERT_NE(port, 0);
    try {
        server->start();
        FAIL() << "second start accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Server already started");
    }
    EXPECT_EQ(server->listeningPort(), port) << "the first socket stays";

    auto second = TcpServer::create("127.0.0.1", port);
    try {
        second->start();
        FAIL() << "bound a port in use";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bind() failed: ", 0), 0u) << e.what();
    }
    EXPECT_EQ(second->listeningPort(), 0);

    EXPECT_TRUE(server->stop());
    EXPECT_TRUE(server->stop());
    HttpConnection client;
    EXPECT_FALSE(client.connect(port)) << "no longer listening";
    server->start();
    EXPECT_NE(server->listeningPort(), 0) << "a stopped server starts again";
}

TEST(TcpServer, BindAddressNamesAreResolved) {
    auto server = startServer([](Peer* peer) { peer->getOutputStream()->write("hi", 2); }, {}, "localhost");
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    EXPECT_TRUE(client.waitClosed());

    auto bad = TcpServer::create("no-such-host.invalid", 0);
    bad->setPeerHandler([](Peer*) {});
    EXPECT_THROW(bad->start(), std::runtime_error);
}

TEST(TcpServer, SocketStreamsReadLinesAndBodies) {
    std::mutex mutex;
    std::vector<std::string> seen;
    auto server = startServer([&](Peer* peer) {
        InputStream* in = peer->getInputStream();
        std::vector<std::string> got;
        for (int i = 0; i < 3; ++i) {
            std::string line;
            const int n = in->readLine(line);
            got.push_back(std::to_string(n) + ":" + line);
        }
        char body[5] = {};
        const int n = in->read(body, 5);
        got.push_back(std::to_string(n) + ":" + std::string(body, n > 0 ? n : 0));
        std::string tail;
        got.push_back(std::to_string(in->readLine(tail)) + ":" + tail);
        got.push_back(std::to_string(in->readLine(tail)));
        got.push_back(std::to_string(in->read(body, 5)));
        std::lock_guard<std::mutex> lock(mutex);
        seen = got;
    });
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    ASSERT_TRUE(client.send("GET / HTTP/1.1\r\n\r\na\rb\nhelloxyz"));
    ::shutdown(client.fd(), SHUT_WR);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !seen.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"14:GET / HTTP/1.1", "0:", "2:ab", "5:hello", "3:xyz", "-1", "-1"}));
}

TEST(TcpServer, IdleReadTimesOutWith10060) {
    std::atomic<int> code{0};
    TcpServerOptions options;
    options.receiveTimeoutMs = 100;
    auto server = startServer(
        [&](Peer* peer) {
            std::string line;
            try {
                peer->getInputStream()->readLine(line);
            } catch (const IOException& e) {
                code = e.code();
            }
        },
        options);
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    EXPECT_TRUE(client.waitClosed()) << "the connection ends after the time-out";
    EXPECT_EQ(code.load(), 10060);
}

TEST(TcpServer, ClosedPeerStreamsFailWithMinusOne) {
    std::mutex mutex;
    std::vector<int> codes;
    auto server = startServer([&](Peer* peer) {
        peer->close();
        peer->close();
        std::vector<int> got;
        std::string line;
        char byte;
        try { peer->getInputStream()->readLine(line); } catch (const IOException& e) { got.push_back(e.code()); }
        try { peer->getInputStream()->read(&byte, 1); } catch (const IOException& e) { got.push_back(e.code()); }
        try { peer->getOutputStream()->write("x", 1); } catch (const IOException& e) {
            got.push_back(e.code());
            EXPECT_STREQ(e.what(), "already closed socket");
        }
        std::lock_guard<std::mutex> lock(mutex);
        codes = got;
    });
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !codes.empty();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(codes, (std::vector<int>{-1, -1, -1}));
}

TEST(TcpServer, WriteToAResetClientRaisesInsteadOfKillingTheProcess) {
    std::atomic<int> code{0};
    std::atomic<bool> clientGone{false};
    auto server = startServer([&](Peer* peer) {
        while (!clientGone) std::this_thread::sleep_for(1ms);
        const std::string data(1 << 16, 'x');
        try {
            for (int i = 0; i < 100; ++i) peer->getOutputStream()->write(data.data(), static_cast<int>(data.size()));
        } catch (const IOException& e) {
            code = e.code();
        }
    });
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    client.reset();
    clientGone = true;
    ASSERT_TRUE(eventually([&] { return code.load() != 0; }));
    EXPECT_EQ(code.load(), 10054);
}

TEST(TcpServer, StopClosesConnectionsAndWaitsForTheirThreads) {
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    auto server = startServer([&](Peer* peer) {
        ++started;
        std::string line;
        try {
            peer->getInputStream()->readLine(line);
        } catch (const IOException&) {
        }
        std::this_thread::sleep_for(20ms);
        ++ended;
    });
    HttpConnection a, b;
    ASSERT_TRUE(a.connect(server->listeningPort()));
    ASSERT_TRUE(b.connect(server->listeningPort()));
    ASSERT_TRUE(eventually([&] { return started.load() == 2; }));
    EXPECT_EQ(server->peers().size(), 2u);
    EXPECT_TRUE(server->stop());
    EXPECT_EQ(ended.load(), 2) << "stop returns after the connection threads";
    EXPECT_TRUE(server->peers().empty());
    EXPECT_EQ(server->activeConnections(), 0);
    EXPECT_TRUE(a.waitClosed());
}

TEST(TcpServer, StopGivesUpOnAStuckThreadWithoutHarm) {
    // Shared with the connection thread, which outlives this test's server.
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto done = std::make_shared<std::atomic<bool>>(false);
    TcpServerOptions options;
    options.stopWaitMs = 50;
    auto server = startServer(
        [release, started, done](Peer*) {
            *started = true;
            while (!*release) std::this_thread::sleep_for(1ms);
            *done = true;
        },
        options);
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    // A connection still queued when the server stops is closed unserved;
    // this test needs one that a worker is running.
    ASSERT_TRUE(eventually([&] { return started->load(); }));
    ASSERT_EQ(server->activeConnections(), 1);
    EXPECT_FALSE(server->stop()) << "reports the thread it could not wait for";
    server.reset();  // the thread outlives the server object
    *release = true;
    EXPECT_TRUE(eventually([&] { return done->load(); }));
}

TEST(TcpServer, ConnectionsBeyondTheLimitGet503) {
    std::atomic<bool> release{false};
    std::atomic<int> served{0};
    TcpServerOptions options;
    options.maxConnections = 2;
    auto server = startServer(
        [&](Peer*) {
            ++served;
            while (!release) std::this_thread::sleep_for(1ms);
        },
        options);
    HttpConnection a, b, c;
    ASSERT_TRUE(a.connect(server->listeningPort()));
    ASSERT_TRUE(b.connect(server->listeningPort()));
    ASSERT_TRUE(eventually([&] { return server->activeConnections() == 2; }));
    ASSERT_TRUE(c.connect(server->listeningPort()));
    HttpReply reply;
    ASSERT_TRUE(c.readReply(&reply));
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, "{\"error\":{\"code\":\"server_busy\",\"httpStatus\":503,\"message\":\"Too many connections\"}}");
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(eventually([&] { return served.load() == 2; }));
    release = true;
    ASSERT_TRUE(eventually([&] { return server->activeConnections() == 0; }));
    HttpConnection d;
    ASSERT_TRUE(d.connect(server->listeningPort()));
    EXPECT_TRUE(eventually([&] { return served.load() == 3; })) << "room again after they end";
}

// At the cap a connection gives way only while it waits for a request with
// nothing arrived: one whose request bytes already wait on the socket (its
// reader marked it idle but has not read yet) keeps its place.
TEST(TcpServer, AtTheCapARequestAlreadyWaitingKeepsItsConnection) {
    std::atomic<bool> release{false};
    std::atomic<int> entered{0};
    TcpServerOptions options;
    options.maxConnections = 1;
    auto server = startServer(
        [&](Peer* peer) {
            peer->setIdle(true);
            ++entered;
            while (!release) std::this_thread::sleep_for(1ms);
        },
        options);
    HttpConnection holder;
    ASSERT_TRUE(holder.connect(server->listeningPort()));
    ASSERT_TRUE(eventually([&] { return entered.load() == 1; }));
    ASSERT_TRUE(holder.send("GET /x HTTP/1.1\r\n"));
    ASSERT_TRUE(eventually([&] {
        const auto peers = server->peers();
        return peers.size() == 1 && !peers.front()->isIdle();
    })) << "a connection with request bytes waiting counts as idle";

    HttpConnection next;
    ASSERT_TRUE(next.connect(server->listeningPort()));
    HttpReply reply;
    ASSERT_TRUE(next.readReply(&reply, 5000)) << "the holder was closed for it and it waits unanswered";
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(entered.load(), 1);
    release = true;
}

// A client that connects and never reads: the server's writes fill both
// socket buffers and then make no progress.
TEST(TcpServer, WritesToAClientThatStopsReadingGiveUp) {
    struct Case {
        const char* name;
        int stallMs;
        bool abandon;
        const char* message;
    } cases[] = {
        {"stall time-out", 300, false, "write stalled: the client takes no data"},
        {"abandon check", -1, true, "write abandoned: the reply was stopped"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpServerOptions options;
        options.sendStallTimeoutMs = c.stallMs;
        std::atomic<bool> stopped{false};
        std::atomic<int> code{0};
        std::string message;
        std::atomic<bool> ended{false};
        auto server = startServer(
            [&](Peer* peer) {
                OutputStream* out = peer->getOutputStream();
                if (c.abandon) out->setAbandonCheck([&] { return stopped.load(); });
                const std::string block(64 * 1024, 'w');
                try {
                    for (;;) out->write(block.data(), static_cast<int>(block.size()));
                } catch (const IOException& e) {
                    code = e.code();
                    message = e.what();
                }
                out->setAbandonCheck(nullptr);
                ended = true;
            },
            options);
        HttpConnection client;
        ASSERT_TRUE(client.connect(server->listeningPort()));
        if (c.abandon) {
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(ended.load()) << "without a stall time-out the writer waits for the client";
            stopped = true;
        }
        ASSERT_TRUE(eventually([&] { return ended.load(); }, 10000ms));
        EXPECT_EQ(code.load(), 10060);
        EXPECT_EQ(message, c.message);
    }
}

TEST(TcpServer, AcceptWithoutHandlerClosesAtOnce) {
    auto server = TcpServer::create("127.0.0.1", 0);
    server->start();
    HttpConnection client;
    ASSERT_TRUE(client.connect(server->listeningPort()));
    EXPECT_TRUE(client.waitClosed());
    EXPECT_EQ(server->activeConnections(), 0);
}

// A session that answers every request with a fixed reply, after waiting
// until `gate` opens (when given), and counts what it saw.
struct SessionLog {
    std::atomic<int> served{0};
    std::atomic<int> timedOut{0};
    std::atomic<bool>* gate = nullptr;
};

class EchoSession : public ConnectionSession {
public:
    EchoSession(Peer* peer, SessionLog* log) : peer_(peer), log_(log) {}
    bool serve() override {
        InputStream* in = peer_->getInputStream();
        std::string line;
        do {
            line.clear();
            if (in->readLine(line) < 0) return false;
        } while (!line.empty() && line != "\r");
        if (log_->gate) {
            while (!log_->gate->load()) std::this_thread::sleep_for(1ms);
        }
        ++log_->served;
        static const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        peer_->getOutputStream()->write(kReply, sizeof kReply - 1);
        return true;
    }
    void timedOut() override { ++log_->timedOut; }

private:
    Peer* peer_;
    SessionLog* log_;
};

std::unique_ptr<TcpServer> startSessions(SessionLog* log, TcpServerOptions options = {}) {
    auto server = TcpServer::create("127.0.0.1", 0, options);
    server->setSessionFactory([log](Peer* peer) { return std::make_unique<EchoSession>(peer, log); });
    server->start();
    return server;
}

// Connections that have not sent a whole request head hold no worker: many
// of them, trickling, leave the server free for a normal client even with a
// busy limit of one; the limit counts requests in work, not sockets.
TEST(TcpServerSessions, ConnectionsWithoutAWholeHeadHoldNoWorker) {
    SessionLog log;
    TcpServerOptions options;
    options.maxConnections = 1;
    auto server = startSessions(&log, options);
    std::vector<std::unique_ptr<HttpConnection>> trickling;
    for (int i = 0; i < 200; ++i) {
        auto connection = std::make_unique<HttpConnection>();
        ASSERT_TRUE(connection->connect(server->listeningPort()));
        ASSERT_TRUE(connection->send(i % 2 ? "GET / HTTP/1.1\r\nHost: a\r\n" : "G"));
        trickling.push_back(std::move(connection));
    }
    ASSERT_TRUE(eventually([&] { return server->waitingConnections() == 200; }));
    EXPECT_EQ(server->activeConnections(), 0);
    for (int i = 0; i < 5; ++i) {
        HttpConnection normal;
        ASSERT_TRUE(normal.connect(server->listeningPort()));
        ASSERT_TRUE(normal.send("GET / HTTP/1.1\r\n\r\n"));
        HttpReply reply;
        ASSERT_TRUE(normal.readReply(&reply));
        EXPECT_EQ(reply.status, 200);
    }
    // A head completed byte by byte goes to a worker then, not before.
    ASSERT_TRUE(trickling[1]->send("\r"));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(log.served.load(), 5);
    ASSERT_TRUE(trickling[1]->send("\n"));
    HttpReply reply;
    ASSERT_TRUE(trickling[1]->readReply(&reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(log.served.load(), 6);
}

// Beyond the busy limit a request whose head arrived is answered 503 and its
// connection closed; requests in work and kept-alive connections are not
// disturbed, and pipelined requests are served by the same worker.
TEST(TcpServerSessions, BusyLimitCountsRequestsInWorkAndKeptAliveConnectionsWaitInThePoller) {
    std::atomic<bool> gate{false};
    SessionLog log;
    log.gate = &gate;
    TcpServerOptions options;
    options.maxConnections = 1;
    auto server = startSessions(&log, options);
    HttpConnection held, refused;
    ASSERT_TRUE(held.connect(server->listeningPort()));
    ASSERT_TRUE(held.send("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(eventually([&] { return server->activeConnections() == 1; }));
    ASSERT_TRUE(refused.connect(server->listeningPort()));
    ASSERT_TRUE(refused.send("GET / HTTP/1.1\r\n\r\n"));
    HttpReply reply;
    ASSERT_TRUE(refused.readReply(&reply));
    EXPECT_EQ(reply.status, 503);
    EXPECT_NE(reply.body.find("server_busy"), std::string::npos);
    EXPECT_TRUE(refused.waitClosed());

    gate = true;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(held.readReply(&reply));
        EXPECT_EQ(reply.status, 200);
    }
    ASSERT_TRUE(eventually([&] { return server->activeConnections() == 0 && server->waitingConnections() == 1; }))
        << "a kept-alive connection waits in the poller between requests";
    ASSERT_TRUE(held.send("GET /3 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(held.readReply(&reply));
    EXPECT_EQ(log.served.load(), 3);
    // While a worker waits a moment on the kept-alive connection for its
    // next request, that connection does not count as in work either.
    ASSERT_TRUE(eventually([&] { return server->activeConnections() == 0; }));
    HttpConnection other;
    ASSERT_TRUE(other.connect(server->listeningPort()));
    ASSERT_TRUE(other.send("GET /4 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(other.readReply(&reply));
    EXPECT_EQ(reply.status, 200);
    ASSERT_TRUE(held.send("GET /5 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(held.readReply(&reply));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(log.served.load(), 5);
}

// A connection that waits too long for a request, or for the rest of a head
// once it began, is closed by the poller (the session hears of it); one that
// keeps trickling bytes is closed at the head deadline all the same.
TEST(TcpServerSessions, IdleAndHeadDeadlinesCloseWaitingConnections) {
    SessionLog log;
    TcpServerOptions options;
    options.receiveTimeoutMs = 300;
    options.headDeadlineMs = 600;
    auto server = startSessions(&log, options);
    HttpConnection idle, trickling;
    ASSERT_TRUE(idle.connect(server->listeningPort()));
    ASSERT_TRUE(trickling.connect(server->listeningPort()));
    std::atomic<bool> closed{false};
    std::thread dripper([&] {
        for (int i = 0; i < 100 && !closed; ++i) {
            if (!trickling.send("x")) break;
            std::this_thread::sleep_for(50ms);
        }
    });
    EXPECT_TRUE(idle.waitClosed(5000));
    EXPECT_TRUE(trickling.waitClosed(5000)) << "bytes that never end a head do not extend the deadline";
    closed = true;
    dripper.join();
    EXPECT_TRUE(eventually([&] { return log.timedOut.load() == 2; }));
    EXPECT_EQ(log.served.load(), 0);
    EXPECT_EQ(server->waitingConnections(), 0);
    EXPECT_TRUE(server->peers().empty());
}

}  // namespace
