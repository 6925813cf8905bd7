// Who may make which request: relayed connections pass, direct ones need a
// loopback socket address, a loopback Host, no foreign Origin, and
// LOCAL_V1_ACCESS for the inference API.
#include <gtest/gtest.h>

#include "net/access_guard.h"
#include "net_test_support.h"

namespace {

TEST(AccessGuardRules, LoopbackHost) {
    const std::pair<const char*, bool> cases[] = {
        {"", true},          {"LOCALHOST:4092", true},        {"localhost", true},
        {"127.0.0.1", true}, {"127.0.0.1:80", true},          {"[::1]:4092", true},
        {"[::1]", true},     {"127.0.0.2", false},            {"[::1", false},
        {"[::2]", false},    {"localhost.example.com", false}, {"example.com", false},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(isLoopbackHost(value), expected) << value;
}

TEST(AccessGuardRules, LoopbackOrigin) {
    const std::pair<const char*, bool> cases[] = {
        {"http://localhost:4092", true}, {"HTTP://LOCALHOST:4092", true},  {"http://127.0.0.1:4092", true},
        {"http://[::1]:4092", true},     {"https://localhost:4092", false}, {"http://localhost:3000", false},
        {"http://localhost", false},     {"null", false},                  {"http://evil.com:4092", false},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(isLoopbackOrigin(value, 4092), expected) << value;
    EXPECT_TRUE(isLoopbackOrigin("http://localhost:5000", 5000));
    EXPECT_FALSE(isLoopbackOrigin("http://localhost:4092", 5000));
}

TEST(AccessGuardRules, LoopbackPeerAddress) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true}, {"127.9.8.7", true},   {"::1", true},        {"::ffff:127.0.0.1", true},
        {"10.0.0.1", false}, {"128.0.0.1", false},  {"::ffff:10.0.0.1", false}, {"", false},
        {"localhost", false},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(isLoopbackPeerAddress(value), expected) << value;
}

TEST(AccessGuardRules, RelayEndpointsMatchAddressAndPort) {
    setRelayPort("127.0.0.1", 50001, true);
    EXPECT_TRUE(isRelayPort("127.0.0.1", 50001));
    EXPECT_FALSE(isRelayPort("10.0.0.5", 50001)) << "the same port from another address is not the relay";
    EXPECT_FALSE(isRelayPort("127.0.0.1", 50002));
    setRelayPort("127.0.0.1", 50001, false);
    EXPECT_FALSE(isRelayPort("127.0.0.1", 50001));
    setRelayPort("127.0.0.1", 0, true);
    EXPECT_FALSE(isRelayPort("127.0.0.1", 0));
    setRelayPort("127.0.0.1", 0, false);
}

class AccessGuardTest : public NetServingTest {
protected:
    void SetUp() override {
        NetServingTest::SetUp();
        exported_ = true;
        routes_.listMivrels = [](HttpRequestHandler& h, const Request&, Response& r) {
            r.setBody(std::string("list"));
            h.sendResponse(r);
        };
        routes_.routeMgmtApi = [](HttpRequestHandler& h, const Request&, Response& r) {
            r.setBody(std::string("mgmt"));
            h.sendResponse(r);
            return true;
        };
    }

    // The reply's status and body for one request from `address`:`port`.
    std::pair<int, std::string> ask(const std::string& path, const std::string& headers,
                                    const std::string& address = "127.0.0.1", ConnOrigin origin = ConnOrigin::Socket,
                                    uint16_t port = 40000) {
        FakePeer peer("GET " + path + " HTTP/1.1\r\n" + headers + "\r\n", address, port);
        HttpServ(routes_, options_, &peer, origin);
        const auto replies = splitReplies(peer.output().written);
        if (replies.empty()) return {0, ""};
        return {std::stoi(replies[0].substr(9, 3)), bodyOf(replies[0])};
    }
};

TEST_F(AccessGuardTest, DirectConnections) {
    const std::string hostDenied =
        "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"host header is not allowed for local access\"}}";
    const std::string originDenied =
        "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"cross-origin request is not allowed\"}}";
    const std::string v1Denied =
        "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"inference API is only available through "
        "the Halvoro gateway\"}}";
    struct Case {
        const char* path;
        const char* headers;
        int status;
        std::string body;
    } cases[] = {
        {"/mgmt-api/x", "Host: LOCALHOST:4092\r\n", 200, "mgmt"},
        {"/mgmt-api/x", "", 200, "mgmt"},
        {"/mgmt-api/x", "Host: [::1]:4092\r\n", 200, "mgmt"},
        {"/mgmt-api/x", "Host: 127.0.0.2\r\n", 403, hostDenied},
        {"/mgmt-api/x", "Host: [::1\r\n", 403, hostDenied},
        {"/mgmt-api/x", "Host: localhost.evil\r\n", 403, hostDenied},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: http://127.0.0.1:4092\r\n", 200, "mgmt"},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: HTTP://LOCALHOST:4092\r\n", 200, "mgmt"},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: https://localhost:4092\r\n", 403, originDenied},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: http://localhost:3000\r\n", 403, originDenied},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: http://localhost\r\n", 403, originDenied},
        {"/mgmt-api/x", "Host: localhost\r\nOrigin: null\r\n", 403, originDenied},
        {"/v1/mivrels", "Host: localhost\r\n", 403, v1Denied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.headers);
        const auto [status, body] = ask(c.path, c.headers);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(body, c.body);
    }
    EXPECT_EQ(ask("/v1", "Host: localhost\r\n").first, 404) << "without the slash the guard lets it through";

    options_.localV1Access = true;
    EXPECT_EQ(ask("/v1/mivrels", "Host: localhost\r\n"), std::make_pair(200, std::string("list")));
}

TEST_F(AccessGuardTest, DirectConnectionsMustComeFromLoopback) {
    options_.localV1Access = true;
    const auto [status, body] = ask("/mgmt-api/x", "Host: localhost\r\n", "192.168.1.20");
    EXPECT_EQ(status, 403);
    EXPECT_EQ(body,
              "{\"error\":{\"code\":\"forbidden\",\"httpStatus\":403,\"message\":\"direct access is only allowed from "
              "this machine\"}}");
    EXPECT_EQ(ask("/mgmt-api/x", "", "").first, 403) << "an unknown address is not loopback";
}

TEST_F(AccessGuardTest, RelayedConnectionsPass) {
    const char* anything = "Host: evil.example\r\nOrigin: https://evil.example\r\n";
    EXPECT_EQ(ask("/v1/mivrels", anything, "", ConnOrigin::Memory, 0), std::make_pair(200, std::string("list")));

    setRelayPort("127.0.0.1", 45000, true);
    EXPECT_EQ(ask("/v1/mivrels", anything, "127.0.0.1", ConnOrigin::Socket, 45000).first, 200);
    EXPECT_EQ(ask("/v1/mivrels", anything, "10.1.1.1", ConnOrigin::Socket, 45000).first, 403)
        << "a relay port number from another address is not the relay";
    setRelayPort("127.0.0.1", 45000, false);
    EXPECT_EQ(ask("/v1/mivrels", anything, "127.0.0.1", ConnOrigin::Socket, 45000).first, 403);
}

}  // namespace
