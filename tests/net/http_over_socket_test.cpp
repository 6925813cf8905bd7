// The HTTP layer on real loopback sockets: a chunked event stream as the
// client receives it, keep-alive across a streamed reply, and clients that
// send too slowly or hold connections idle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "net/tcp_server.h"
#include "net_test_support.h"
#include "support/http_client.h"

namespace {

class HttpOverSocket : public NetServingTest {
protected:
    void SetUp() override {
        NetServingTest::SetUp();
        routes_.routeMgmtApi = [](HttpRequestHandler& h, const Request& req, Response& resp) {
            if (req.path != "/mgmt-api/stream") return false;
            resp.headers["Content-Type"] = "text/event-stream";
            h.beginChunked(resp);
            h.writeChunk(formatSseEvent("token", "{}"));
            h.writeChunk(formatSseEvent("message.delta", "{\"text\":\"\xec\x95\x88\"}"));
            h.writeChunk(std::string("data: [DONE]\n\n"));
            h.endChunked();
            return true;
        };
        startServer(RequestLimits(), TcpServerOptions());
    }
    void startServer(const RequestLimits& limits, const TcpServerOptions& options) {
        if (server_) server_->stop();
        server_ = TcpServer::create("127.0.0.1", 0, options);
        server_->setPeerHandler([this, limits](Peer* peer) { HttpServ(routes_, options_, peer, ConnOrigin::Socket, limits); });
        server_->start();
    }
    void TearDown() override {
        server_->stop();
        NetServingTest::TearDown();
    }
    std::unique_ptr<TcpServer> server_;
};

TEST_F(HttpOverSocket, EventStreamByteForByteThenKeepAlive) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(server_->listeningPort()));
    ASSERT_TRUE(connection.send(buildRequest("GET", "/mgmt-api/stream")));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply));
    EXPECT_EQ(reply.raw,
              "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
              "Connection: keep-alive\r\n\r\n"
              "17\r\nevent: token\ndata: {}\n\n\r\n"
              "2b\r\nevent: message.delta\ndata: {\"text\":\"\xec\x95\x88\"}\n\n\r\n"
              "e\r\ndata: [DONE]\n\n\r\n"
              "0\r\n\r\n");
    ASSERT_TRUE(connection.send(buildRequest("GET", "/x")));
    ASSERT_TRUE(connection.readReply(&reply));
    EXPECT_EQ(reply.status, 404);
}

using namespace std::chrono_literals;

// Sends `bytes` one at a time, `gap` apart, until all are sent, the server
// closes, or `stop` is set.
class Dribbler {
public:
    Dribbler(HttpConnection& connection, std::string bytes, std::chrono::milliseconds gap)
        : thread_([&connection, bytes = std::move(bytes), gap, this] {
              for (char c : bytes) {
                  if (stop_ || !connection.send(std::string(1, c))) return;
                  std::this_thread::sleep_for(gap);
              }
          }) {}
    ~Dribbler() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(HttpOverSocket, SlowSendersAreCutOff) {
    RequestLimits limits;
    limits.headDeadlineMs = 300;
    limits.minBodyBytesPerSecond = 1000;
    limits.bodyGraceMs = 300;
    startServer(limits, TcpServerOptions());
    struct Case {
        const char* name;
        std::string head;      // sent at once
        std::string dribbled;  // then a byte every 50 ms, far longer than the limits allow
    } cases[] = {
        {"head", "GET /x HTTP/1.1\r\n", std::string(200, 'X') + ": 1\r\n\r\n"},
        {"body", "POST /x HTTP/1.1\r\nContent-Length: 200\r\n\r\n", std::string(200, 'b')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpConnection connection;
        ASSERT_TRUE(connection.connect(server_->listeningPort()));
        ASSERT_TRUE(connection.send(c.head));
        Dribbler dribbler(connection, c.dribbled, 50ms);
        EXPECT_TRUE(connection.waitClosed(8000)) << "a client that keeps sending a byte at a time is disconnected";
    }
    // An ordinary request on the same server is unaffected.
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(server_->listeningPort()));
    ASSERT_TRUE(connection.send(buildRequest("POST", "/mgmt-api/x", {}, std::string(100000, 'b'))));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply));
    EXPECT_EQ(reply.status, 404);
}

bool eventually(const std::function<bool()>& predicate) {
    for (int i = 0; i < 1000 && !predicate(); ++i) std::this_thread::sleep_for(5ms);
    return predicate();
}

TEST_F(HttpOverSocket, AtTheCapIdleConnectionsGiveWay) {
    TcpServerOptions options;
    options.maxConnections = 2;
    startServer(RequestLimits(), options);
    const uint16_t port = server_->listeningPort();
    auto idleCount = [this] {
        int idle = 0;
        for (const auto& peer : server_->peers()) idle += peer->isIdle() ? 1 : 0;
        return idle;
    };

    // Two connections in the middle of a request head: nothing gives way.
    HttpConnection busyA, busyB;
    ASSERT_TRUE(busyA.connect(port));
    ASSERT_TRUE(busyB.connect(port));
    ASSERT_TRUE(busyA.send("GET /x HTTP/1.1\r\n"));
    ASSERT_TRUE(busyB.send("GET /x HTTP/1.1\r\n"));
    ASSERT_TRUE(eventually([&] { return server_->activeConnections() == 2 && idleCount() == 0; }));
    HttpConnection refused;
    ASSERT_TRUE(refused.connect(port));
    HttpReply reply;
    ASSERT_TRUE(refused.readReply(&reply));
    EXPECT_EQ(reply.status, 503);

    // One finishes its request and waits idle on keep-alive: it gives way.
    ASSERT_TRUE(busyA.send("\r\n"));
    ASSERT_TRUE(busyA.readReply(&reply));
    ASSERT_TRUE(eventually([&] { return idleCount() == 1; }));
    HttpConnection newcomer;
    ASSERT_TRUE(newcomer.connect(port));
    ASSERT_TRUE(newcomer.send(buildRequest("GET", "/y")));
    ASSERT_TRUE(newcomer.readReply(&reply));
    EXPECT_EQ(reply.status, 404) << "served, not refused";
    EXPECT_TRUE(busyA.waitClosed()) << "the idle connection was closed for it";
    ASSERT_TRUE(busyB.send("\r\n"));
    ASSERT_TRUE(busyB.readReply(&reply)) << "the connection mid-request was left alone";
    EXPECT_EQ(reply.status, 404);
}

TEST_F(HttpOverSocket, AFloodingRefusedClientDoesNotStallAccepting) {
    TcpServerOptions options;
    options.maxConnections = 1;
    startServer(RequestLimits(), options);
    const uint16_t port = server_->listeningPort();
    HttpConnection holder;
    ASSERT_TRUE(holder.connect(port));
    ASSERT_TRUE(holder.send("GET /x HTTP/1.1\r\n"));
    ASSERT_TRUE(eventually([&] { return server_->activeConnections() == 1; }));

    std::atomic<bool> stop{false};
    std::thread flood([&] {
        HttpConnection flooder;
        if (!flooder.connect(port)) return;
        const std::string block(64 * 1024, 'f');
        while (!stop && flooder.send(block)) {
        }
    });
    std::this_thread::sleep_for(100ms);
    HttpConnection next;
    ASSERT_TRUE(next.connect(port));
    HttpReply reply;
    EXPECT_TRUE(next.readReply(&reply, 5000)) << "the next client is still answered";
    EXPECT_EQ(reply.status, 503);
    stop = true;
    flood.join();
}

}  // namespace
