// The HTTP front end of the real brisvanesrv: persistent connections, the
// access guard, the inference service gate, request limits, and clients
// that vanish mid-reply.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <memory>

#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_paths.h"

namespace {

// One server per configuration, shared by the tests of a suite.
struct RunningServer {
    TempDir home;
    uint16_t port = freeLoopbackPort();
    ServerProcess process;

    explicit RunningServer(const std::string& extraConf, const std::string& ip = "127.0.0.1") {
        writeServerConf(home.path(), "SERV_IP=" + ip + "\nSERV_PORT=" + std::to_string(port) + "\n" + extraConf);
        if (!process.start({}, home.path()) || !process.waitListening(port))
            ADD_FAILURE() << "server did not start: " << process.stderrText();
    }
    // A clean exit also tells that a sanitizer build of the server saw no fault.
    ~RunningServer() { EXPECT_EQ(process.stop(), 0) << process.stderrText(); }
};

std::string notFoundBody(const std::string& path) {
    return "{\"error\":{\"code\":\"not_found\",\"httpStatus\":404,\"message\":\"Unknown endpoint: " + path + "\"}}";
}

class HttpFrontEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<RunningServer>("LOCAL_V1_ACCESS=true\n"); }
    static void TearDownTestSuite() { server_.reset(); }
    static uint16_t port() { return server_->port; }

    static std::unique_ptr<RunningServer> server_;
};
std::unique_ptr<RunningServer> HttpFrontEnd::server_;

TEST_F(HttpFrontEnd, TwoRequestsOnOneConnection) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(port()));
    ASSERT_TRUE(connection.send(buildRequest("GET", "/a") + buildRequest("GET", "/b")));
    HttpReply first, second;
    ASSERT_TRUE(connection.readReply(&first));
    ASSERT_TRUE(connection.readReply(&second));
    EXPECT_EQ(first.body, notFoundBody("/a"));
    EXPECT_EQ(second.body, notFoundBody("/b"));
    ASSERT_TRUE(connection.send(buildRequest("GET", "/c")));
    HttpReply third;
    ASSERT_TRUE(connection.readReply(&third)) << "still open after two";
    EXPECT_EQ(third.body, notFoundBody("/c"));
}

TEST_F(HttpFrontEnd, UnknownPathIsJson404ByteForByte) {
    const HttpReply reply = httpRequest(port(), "GET", "/x");
    EXPECT_EQ(reply.raw,
              "HTTP/1.1 404 Not Found\r\nContent-Length: 80\r\nContent-Type: application/json\r\n"
              "Connection: keep-alive\r\n\r\n" +
                  notFoundBody("/x"));
}

TEST_F(HttpFrontEnd, ClosingRequests) {
    const std::pair<std::string, HeaderList> cases[] = {
        {"HTTP/1.0", {}},
        {"HTTP/1.0", {{"Connection", "keep-alive"}}},
        {"HTTP/1.1", {{"Connection", "close"}}},
        {"HTTP/1.1", {{"Connection", "Keep-Alive, CLOSE"}}},
    };
    for (const auto& [version, headers] : cases) {
        SCOPED_TRACE(version);
        HttpConnection connection;
        ASSERT_TRUE(connection.connect(port()));
        ASSERT_TRUE(connection.send(buildRequest("GET", "/x", headers, "", version)));
        HttpReply reply;
        ASSERT_TRUE(connection.readReply(&reply));
        EXPECT_EQ(reply.status, 404);
        EXPECT_EQ(reply.header("Connection"), "close") << "the reply says the connection ends";
        EXPECT_TRUE(connection.waitClosed());
    }
}

TEST_F(HttpFrontEnd, InferenceServiceOffAnswers503) {
    const std::string down =
        "{\"error\":{\"code\":\"inference_service_down\",\"message\":\"Inference service is not active. Run 'brisvane "
        "up' to activate.\"}}";
    for (const char* path : {"/v1/mivrels", "/v1/nothing"}) {
        const HttpReply reply = httpRequest(port(), "POST", path);
        EXPECT_EQ(reply.status, 503) << path;
        EXPECT_EQ(reply.reason, "Service Unavailable");
        EXPECT_EQ(reply.body, down);
    }
    EXPECT_EQ(httpRequest(port(), "GET", "/v1").status, 404);
    EXPECT_EQ(httpRequest(port(), "GET", "/mgmt-api/no-such-endpoint").body, notFoundBody("/mgmt-api/no-such-endpoint"));
    // "/" is the web application's, whose folder this home does not have.
    const HttpReply page = httpRequest(port(), "GET", "/");
    EXPECT_EQ(page.status, 404);
    EXPECT_EQ(page.body, "File not found: /index.html");
}

TEST_F(HttpFrontEnd, AccessGuardOnHeaders) {
    struct Case {
        HeaderList headers;
        int status;
        const char* message;
    } cases[] = {
        {{{"Host", "LOCALHOST:4092"}}, 404, nullptr},
        {{{"Host", "[::1]:1"}}, 404, nullptr},
        {{{"Host", "127.0.0.2"}}, 403, "host header is not allowed for local access"},
        {{{"Host", "example.com"}}, 403, "host header is not allowed for local access"},
        {{{"Origin", "http://127.0.0.1:" + std::to_string(port())}}, 404, nullptr},
        {{{"Origin", "http://localhost:1"}}, 403, "cross-origin request is not allowed"},
        {{{"Origin", "null"}}, 403, "cross-origin request is not allowed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers[0].first + ": " + c.headers[0].second);
        const HttpReply reply = httpRequest(port(), "GET", "/mgmt-api/x", c.headers);
        EXPECT_EQ(reply.status, c.status);
        if (c.message) {
            EXPECT_EQ(reply.body, std::string("{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"") +
                                      c.message + "\"}}");
        }
    }
}

TEST_F(HttpFrontEnd, RequestLimits) {
    std::string manyHeaders;
    HeaderList many;
    for (int i = 0; i < 101; ++i) many.emplace_back("X-" + std::to_string(i), "1");
    HeaderList bigHead;
    for (int i = 0; i < 9; ++i) bigHead.emplace_back("X-" + std::to_string(i), std::string(8000, 'v'));
    struct Case {
        const char* name;
        std::string request;
        int status;
    } cases[] = {
        {"long request line", buildRequest("GET", "/" + std::string(9000, 'a')), 414},
        {"long header line", buildRequest("GET", "/", {{"X", std::string(9000, 'a')}}), 431},
        {"101 header lines", buildRequest("GET", "/", many), 431},
        {"head over 64 KiB", buildRequest("GET", "/", bigHead), 431},
        {"body over 64 MiB", buildRequest("POST", "/", {{"Content-Length", "67108865"}}), 413},
        {"Transfer-Encoding", buildRequest("POST", "/", {{"Transfer-Encoding", "chunked"}}) + "0\r\n\r\n", 501},
        {"repeated Content-Length",
         buildRequest("POST", "/", {{"Content-Length", "1"}, {"Content-Length", "1"}}) + "x", 400},
        {"negative Content-Length", buildRequest("POST", "/", {{"Content-Length", "-5"}}), 400},
        {"word Content-Length", buildRequest("POST", "/", {{"Content-Length", "abc"}}), 400},
        {"malformed request line", "GET /\r\n\r\n", 400},
        {"space before colon", "GET /x HTTP/1.1\r\nHost : localhost\r\n\r\n", 400},
        {"carriage return in a name", "GET /x HTTP/1.1\r\nHo\rst: localhost\r\n\r\n", 400},
        {"two Host headers", "GET /x HTTP/1.1\r\nHost: localhost\r\nHost: example.com\r\n\r\n", 400},
        {"unknown version", "GET /x FOO/9.9\r\n\r\n", 505},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpConnection connection;
        ASSERT_TRUE(connection.connect(port()));
        ASSERT_TRUE(connection.send(c.request));
        HttpReply reply;
        ASSERT_TRUE(connection.readReply(&reply));
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Content-Type"), "text/plain");
        EXPECT_EQ(reply.header("Connection"), "close");
        EXPECT_TRUE(connection.waitClosed()) << "the connection closes after a refused request";
    }
    const std::string body(100000, 'b');
    EXPECT_EQ(httpRequest(port(), "POST", "/mgmt-api/x", {}, body).status, 404)
        << "an ordinary body is read and answered";
}

// Runs a client script from tests/integration/clients with the server's
// port and returns its standard output.
std::string runClientScript(const std::string& script, uint16_t port) {
    const std::string command =
        "python3 " + sourceDir() + "/tests/integration/clients/" + script + " " + std::to_string(port);
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

TEST_F(HttpFrontEnd, RefusalsReachAClientThatSendsItsWholeRequestFirst) {
    const std::string output = runClientScript("refused_requests.py", port());
    const struct {
        const char* line;
    } expected[] = {
        {"upload-limit 400 {\"error\":{\"code\":\"bad_request\",\"httpStatus\":400,\"message\":\"file too large "
         "(max 50MB)\"}}\n"},
        {"body-limit 413 Request body too large\n"},
        {"chunked 501 Transfer-Encoding is not supported\n"},
        {"bad-length 400 Invalid Content-Length: 4194304x\n"},
    };
    for (const auto& e : expected) EXPECT_NE(output.find(e.line), std::string::npos) << e.line << "in:\n" << output;
    EXPECT_EQ(httpRequest(port(), "GET", "/alive").status, 404);
}

TEST_F(HttpFrontEnd, NonUtf8PathIs404) {
    const HttpReply reply = httpRequest(port(), "GET", "/caf\xe9\xff");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, notFoundBody("/caf\xef\xbf\xbd\xef\xbf\xbd"));
}

TEST_F(HttpFrontEnd, ExpectContinueIsAnsweredBeforeTheBody) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(port()));
    ASSERT_TRUE(connection.send("POST /x HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\n"
                                "Content-Length: 5\r\n\r\n"));
    HttpReply interim;
    ASSERT_TRUE(connection.readReply(&interim)) << "the interim reply comes without the body being sent";
    EXPECT_EQ(interim.status, 100);
    ASSERT_TRUE(connection.send("hello"));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply));
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.header("Connection"), "keep-alive");
}

TEST_F(HttpFrontEnd, ClientThatResetsMidReplyDoesNotKillTheServer) {
    for (int round = 0; round < 3; ++round) {
        HttpConnection connection;
        ASSERT_TRUE(connection.connect(port()));
        std::string pipeline;
        for (int i = 0; i < 2000; ++i) pipeline += buildRequest("GET", "/reset-" + std::to_string(i));
        connection.send(pipeline);
        connection.reset();
    }
    EXPECT_EQ(httpRequest(port(), "GET", "/alive").status, 404);
    EXPECT_TRUE(server_->process.running());
}

TEST(HttpFrontEndGuard, InferenceApiClosedToDirectCallsByDefault) {
    RunningServer server("");
    const HttpReply reply = httpRequest(server.port, "GET", "/v1/mivrels");
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body,
              "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"inference API is only available "
              "through the Halvoro gateway\"}}");
}

// The first IPv4 address of this machine that is not loopback, or "".
std::string nonLoopbackAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return "";
    std::string found;
    for (ifaddrs* it = list; it && found.empty(); it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        const auto* address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if ((ntohl(address->sin_addr.s_addr) >> 24) == 127) continue;
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) found = text;
    }
    ::freeifaddrs(list);
    return found;
}

TEST(HttpFrontEndGuard, DirectConnectionsFromOtherAddressesAreRefused) {
    const std::string address = nonLoopbackAddress();
    if (address.empty()) GTEST_SKIP() << "this machine has no non-loopback IPv4 address";
    RunningServer server("LOCAL_V1_ACCESS=true\n", "0.0.0.0");
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(server.port, address));
    ASSERT_TRUE(connection.send(buildRequest("GET", "/mgmt-api/x", {{"Host", "localhost"}})));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply));
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body,
              "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"direct access is only allowed from "
              "this machine\"}}");
    EXPECT_EQ(httpRequest(server.port, "GET", "/mgmt-api/x").status, 404) << "loopback still passes";
}

}  // namespace
