// The wire format of whole, chunked and event-stream replies and of the JSON
// error body.
#include <gtest/gtest.h>

#include "fake_peer.h"
#include "net/http_request_handler.h"
#include "net/http_response.h"

namespace {

struct Writer {
    FakePeer peer{""};
    HttpRequestHandler handler{"webapp", "", &peer, peer.getInputStream(), peer.getOutputStream()};
    const std::string& wire() { return peer.output().written; }
};

TEST(HttpReply, JsonErrorExampleByteForByte) {
    Writer w;
    Response response;
    sendJsonError(w.handler, response, 404, "not_found", "Unknown endpoint: /x");
    EXPECT_EQ(w.wire(),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 80\r\nContent-Type: application/json\r\n"
              "Connection: keep-alive\r\n\r\n"
              "{\"error\":{\"code\":\"not_found\",\"httpStatus\":404,\"message\":\"Unknown endpoint: /x\"}}");
    EXPECT_TRUE(w.handler.responseSent());
    EXPECT_EQ(w.peer.output().writes, 1) << "head and body in one write";
}

TEST(HttpReply, HeaderOrderAndContentLength) {
    Writer w;
    Response response;
    response.headers["X-A"] = "1";
    response.headers["Content-Type"] = "text/plain";
    w.handler.sendResponse(response);
    EXPECT_EQ(w.wire(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-A: 1\r\nContent-Length: 0\r\n"
              "Connection: keep-alive\r\n\r\n");

    Writer w2;
    Response withBody;
    withBody.setBody(std::string(""));
    withBody.headers["a-lower"] = "x";
    w2.handler.sendResponse(withBody);
    EXPECT_EQ(w2.wire(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\na-lower: x\r\nConnection: keep-alive\r\n\r\n");
}

TEST(HttpReply, ChunkedStreamWithSseFrames) {
    Writer w;
    Response response;
    response.headers["Content-Type"] = "text/event-stream";
    w.handler.beginChunked(response);
    w.handler.writeChunk(formatSseEvent("token", "{}"));
    w.handler.writeChunk(std::string());
    w.handler.writeChunk(std::string(255, 'a'));
    w.handler.writeChunk(std::string(4096, 'b'));
    w.handler.endChunked();
    const std::string expected = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
                                 "Connection: keep-alive\r\n\r\n"
                                 "17\r\nevent: token\ndata: {}\n\n\r\n"
                                 "ff\r\n" + std::string(255, 'a') + "\r\n"
                                 "1000\r\n" + std::string(4096, 'b') + "\r\n"
                                 "0\r\n\r\n";
    EXPECT_EQ(w.wire(), expected);
    EXPECT_EQ(formatSseEvent("token", "{}").size(), 23u);
}

TEST(HttpReply, ErrorJsonAndReasons) {
    EXPECT_EQ(makeErrorJson("bad_request", "x", 0), "{\"error\":{\"code\":\"bad_request\",\"message\":\"x\"}}");
    EXPECT_EQ(makeErrorJson("bad_request", "x", 400),
              "{\"error\":{\"code\":\"bad_request\",\"httpStatus\":400,\"message\":\"x\"}}");
    EXPECT_EQ(makeErrorJson("c", "a\"b\nc", 0), "{\"error\":{\"code\":\"c\",\"message\":\"a\\\"b\\nc\"}}");
    EXPECT_EQ(makeErrorJson("c", "\xec\x95\x88", 0), "{\"error\":{\"code\":\"c\",\"message\":\"\xec\x95\x88\"}}");
    // A client's bytes that are not UTF-8 never turn an error reply into a
    // failure of its own.
    EXPECT_EQ(makeErrorJson("c", "/a\xff", 0), "{\"error\":{\"code\":\"c\",\"message\":\"/a\xef\xbf\xbd\"}}");

    Writer w;
    Response response;
    sendJsonError(w.handler, response, 409, "mivrel_busy", "busy");
    EXPECT_EQ(w.wire().substr(0, w.wire().find("\r\n")), "HTTP/1.1 409 Conflict");
    EXPECT_STREQ(reasonPhrase(503), "Service Unavailable");
    EXPECT_STREQ(reasonPhrase(431), "Request Header Fields Too Large");
}

}  // namespace
