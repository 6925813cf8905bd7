// The per-connection request loop: keep-alive, closing rules, and what the
// client sees when a request is refused or a handler fails.
#include <gtest/gtest.h>

#include "net/http_request_handler.h"
#include "net/io_exception.h"
#include "net_test_support.h"

namespace {

class HttpConnectionTest : public NetServingTest {
protected:
    void SetUp() override {
        NetServingTest::SetUp();
        // A management route table stand-in: /mgmt-api/echo answers the body.
        routes_.routeMgmtApi = [this](HttpRequestHandler& h, const Request& req, Response& resp) {
            if (req.path == "/mgmt-api/echo") {
                resp.setBody(std::string(req.body.begin(), req.body.end()));
                h.sendResponse(resp);
                return true;
            }
            if (req.path == "/mgmt-api/throw") throw std::runtime_error("boom");
            if (req.path == "/mgmt-api/notfound") throw HttpNotFoundException("nothing here");
            if (req.path == "/mgmt-api/stream-then-throw") {
                h.beginChunked(resp);
                h.writeChunk(std::string("partial"));
                throw std::runtime_error("late failure");
            }
            ++unmatched;
            return false;
        };
    }

    std::vector<std::string> serve(const std::string& input, FakePeer** keep = nullptr) {
        peer_ = std::make_unique<FakePeer>(input);
        HttpServ(routes_, options_, peer_.get(), ConnOrigin::Socket);
        if (keep) *keep = peer_.get();
        return splitReplies(peer_->output().written);
    }

    std::unique_ptr<FakePeer> peer_;
    int unmatched = 0;
};

TEST_F(HttpConnectionTest, KeepAliveServesRequestsInOrder) {
    const auto replies = serve("POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 3\r\n\r\none"
                               "POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 3\r\n\r\ntwo");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(bodyOf(replies[0]), "one");
    EXPECT_EQ(bodyOf(replies[1]), "two");
}

TEST_F(HttpConnectionTest, ConnectionEndsAfterCloseRequests) {
    const std::string second = "POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 1\r\n\r\nb";
    struct Case {
        const char* first;
        size_t replies;
    } cases[] = {
        {"POST /mgmt-api/echo HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\na", 1},
        {"POST /mgmt-api/echo HTTP/1.1\r\nConnection: Keep-Alive, CLOSE\r\nContent-Length: 1\r\n\r\na", 1},
        {"POST /mgmt-api/echo HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\na", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        const auto replies = serve(c.first + second);
        EXPECT_EQ(replies.size(), c.replies);
        // The head tells whether the connection stays open after it.
        const bool closes = c.replies == 1;
        EXPECT_NE(replies[0].find(closes ? "Connection: close\r\n" : "Connection: keep-alive\r\n"),
                  std::string::npos);
        EXPECT_EQ(replies[0].find(closes ? "keep-alive" : "Connection: close"), std::string::npos);
    }
}

TEST_F(HttpConnectionTest, RefusedRequestsAreAnsweredAndEndTheConnection) {
    const std::string next = "POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 1\r\n\r\nb";
    struct Case {
        std::string request;
        std::string status;
        std::string body;
    } cases[] = {
        {"GET /\r\n\r\n", "HTTP/1.1 400 Bad Request", "Malformed request line: GET /"},
        {"POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request", "Invalid Content-Length: abc"},
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", "HTTP/1.1 400 Bad Request",
         "Repeated Content-Length"},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long", "Request line too long"},
        {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "HTTP/1.1 431 Request Header Fields Too Large",
         "Header line too long"},
        {"POST / HTTP/1.1\r\nContent-Length: 67108865\r\n\r\n", "HTTP/1.1 413 Content Too Large",
         "Request body too large"},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 501 Not Implemented",
         "Transfer-Encoding is not supported"},
        {"GET / FOO/9.9\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported", "Unsupported HTTP version: FOO/9.9"},
        {"GET / HTTP/2.0\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported", "Unsupported HTTP version: HTTP/2.0"},
        {"GET / HTTP/1.1\r\nHost : localhost\r\n\r\n", "HTTP/1.1 400 Bad Request",
         "Malformed header line: Host : localhost"},
        {"GET / HTTP/1.1\r\nHo\rst: localhost\r\n\r\n", "HTTP/1.1 400 Bad Request",
         "Malformed header line: Host: localhost"},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nhost: evil.example\r\n\r\n", "HTTP/1.1 400 Bad Request",
         "Repeated Host header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        FakePeer* peer = nullptr;
        const auto replies = serve(c.request + next, &peer);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(statusLine(replies[0]), c.status);
        EXPECT_NE(replies[0].find("Content-Type: text/plain\r\n"), std::string::npos);
        EXPECT_NE(replies[0].find("Connection: close\r\n"), std::string::npos) << "the server closes after it";
        EXPECT_EQ(bodyOf(replies[0]), c.body);
        EXPECT_TRUE(peer->closed) << "the refusal ends the connection through the peer";
    }
}

TEST_F(HttpConnectionTest, UnknownPathWithInvalidUtf8Is404) {
    const auto replies = serve("GET /a\xff\xfe HTTP/1.1\r\n\r\n");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(bodyOf(replies[0]), "{\"error\":{\"code\":\"not_found\",\"httpStatus\":404,\"message\":"
                                  "\"Unknown endpoint: /a\xef\xbf\xbd\xef\xbf\xbd\"}}");
}

TEST_F(HttpConnectionTest, ExpectContinueGetsAnInterimReplyBeforeTheBody) {
    struct Case {
        const char* request;
        bool interim;
    } cases[] = {
        {"POST /mgmt-api/echo HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 2\r\n\r\nhi", true},
        {"POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", false},
        {"POST /mgmt-api/echo HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi", false},
        {"GET /mgmt-api/echo HTTP/1.1\r\nExpect: 100-continue\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        serve(c.request);
        const std::string& wire = peer_->output().written;
        const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
        EXPECT_EQ(wire.compare(0, interim.size(), interim) == 0, c.interim);
        EXPECT_NE(wire.find("HTTP/1.1 200 OK"), std::string::npos);
    }
    // A body refused by its declared length gets no invitation to send it.
    serve("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 67108865\r\n\r\n");
    EXPECT_EQ(statusLine(peer_->output().written), "HTTP/1.1 413 Content Too Large");
}

// A body beyond its route's limit is refused by its declared length, before
// a byte of it is read, with a text that names the limit; within it, it is
// served.
TEST_F(HttpConnectionTest, BodiesBeyondTheirRoutesLimitAre413) {
    struct Case {
        std::string request;
        std::string status;
        std::string body;
    } cases[] = {
        {"GET /mgmt-api/echo HTTP/1.1\r\nContent-Length: 8193\r\n\r\n" + std::string(8193, 'g'),
         "HTTP/1.1 413 Content Too Large", "Request body too large: GET /mgmt-api/echo takes at most 8192 bytes"},
        {"POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 4194305\r\n\r\nxyz", "HTTP/1.1 413 Content Too Large",
         "Request body too large: POST /mgmt-api/echo takes at most 4194304 bytes"},
        {"POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'p'),
         "HTTP/1.1 200 OK", std::string(100000, 'p')},
        {"GET /mgmt-api/echo HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "HTTP/1.1 200 OK", "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 80));
        const auto replies = serve(c.request);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(statusLine(replies[0]), c.status);
        EXPECT_EQ(bodyOf(replies[0]), c.body);
    }
}

TEST_F(HttpConnectionTest, ManyHeadersAndLargeHeadAre431) {
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
    auto replies = serve(many + "\r\n");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 431 Request Header Fields Too Large");

    std::string big = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 9; ++i) big += "X-" + std::to_string(i) + ": " + std::string(8000, 'v') + "\r\n";
    replies = serve(big + "\r\n");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 431 Request Header Fields Too Large");
}

TEST_F(HttpConnectionTest, HandlerFailuresBeforeAReply) {
    const std::string next = "POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 1\r\n\r\nb";
    auto replies = serve("GET /mgmt-api/throw HTTP/1.1\r\n\r\n" + next);
    ASSERT_EQ(replies.size(), 2u) << "a 500 keeps the connection";
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(bodyOf(replies[0]), "{\"error\":{\"code\":\"internal_error\",\"httpStatus\":500,\"message\":\"boom\"}}");

    replies = serve("GET /mgmt-api/notfound HTTP/1.1\r\n\r\n" + next);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(statusLine(replies[0]), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(bodyOf(replies[0]), "nothing here");
}

TEST_F(HttpConnectionTest, FailureAfterAStartedReplyClosesTheConnection) {
    const auto replies = serve("GET /mgmt-api/stream-then-throw HTTP/1.1\r\n\r\n"
                               "POST /mgmt-api/echo HTTP/1.1\r\nContent-Length: 1\r\n\r\nb");
    const std::string& wire = peer_->output().written;
    EXPECT_EQ(wire.find("HTTP/1.1 500"), std::string::npos) << "no second reply";
    EXPECT_EQ(wire.find("0\r\n\r\n"), std::string::npos) << "the stream is not made to look complete";
    EXPECT_EQ(wire.find("HTTP/1.1", 1), std::string::npos) << "the next request is not served";
}

TEST_F(HttpConnectionTest, UnknownPathIsJson404) {
    const auto replies = serve("GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              "HTTP/1.1 404 Not Found\r\nContent-Length: 86\r\nContent-Type: application/json\r\n"
              "Connection: keep-alive\r\n\r\n"
              "{\"error\":{\"code\":\"not_found\",\"httpStatus\":404,\"message\":\"Unknown endpoint: /nothing\"}}");
}

TEST_F(HttpConnectionTest, StreamFailuresEndQuietly) {
    FakePeer timeout("GET /mgmt-api/echo HTTP/1.1\r\n\r\n");
    timeout.input().timeoutAtEnd = true;
    EXPECT_NO_THROW(HttpServ(routes_, options_, &timeout, ConnOrigin::Socket));
    EXPECT_EQ(splitReplies(timeout.output().written).size(), 1u);

    FakePeer broken("GET /nothing HTTP/1.1\r\n\r\n");
    broken.output().failWrites = true;
    EXPECT_NO_THROW(HttpServ(routes_, options_, &broken, ConnOrigin::Socket));
}

TEST_F(HttpConnectionTest, LastRequestNamesTheRequestAndTheWait) {
    FakePeer peer("GET /mgmt-api/echo?x=1 HTTP/1.1\r\n\r\n");
    HttpRequestHandler handler("webapp", "", &peer, peer.getInputStream(), peer.getOutputStream());
    EXPECT_EQ(handler.lastRequest(), "(요청 없음)");
    handler.ioProcessingHandler();
    EXPECT_EQ(handler.lastRequest(), "GET /mgmt-api/echo (이후 다음 요청 대기 중)");
    EXPECT_EQ(statusLine(peer.output().written), "HTTP/1.1 404 Not Found") << "the base handler answers 404";
}

}  // namespace
