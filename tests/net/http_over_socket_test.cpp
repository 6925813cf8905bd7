// The HTTP layer on real loopback sockets: a chunked event stream as the
// client receives it, and keep-alive across a streamed reply.
#include <gtest/gtest.h>

#include "net/tcp_server.h"
#include "net_test_support.h"
#include "support/http_client.h"

namespace {

class HttpOverSocket : public NetGlobalsTest {
protected:
    void SetUp() override {
        NetGlobalsTest::SetUp();
        routeHandlers().routeMgmtApi = [](HttpRequestHandler& h, const Request& req, Response& resp) {
            if (req.path != "/mgmt-api/stream") return false;
            resp.headers["Content-Type"] = "text/event-stream";
            h.beginChunked(resp);
            h.writeChunk(formatSseEvent("token", "{}"));
            h.writeChunk(formatSseEvent("message.delta", "{\"text\":\"\xec\x95\x88\"}"));
            h.writeChunk(std::string("data: [DONE]\n\n"));
            h.endChunked();
            return true;
        };
        server_ = TcpServer::create("127.0.0.1", 0);
        server_->setPeerHandler([](Peer* peer) { HttpServ(peer, ConnOrigin::Socket); });
        server_->start();
    }
    void TearDown() override {
        server_->stop();
        NetGlobalsTest::TearDown();
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

}  // namespace
