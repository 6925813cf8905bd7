#include "mgmt/registration_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "base/logger.h"
#include "config/runtime_properties.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace {

namespace rp = runtimeprops;
using nlohmann::json;

std::string hostNameOrEmpty() {
    char buffer[256] = {};
    return ::gethostname(buffer, sizeof buffer - 1) == 0 ? buffer : "";
}

// A port that refuses connections: bound, never listened on.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// One CA trusted through SSL_CERT_FILE for the whole suite; each test starts
// its own server.
class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogLevel(0);
        ca_.writeCertificate(dir_.file("ca.pem"));
        trust_ = std::make_unique<ScopedEnvVar>("SSL_CERT_FILE", dir_.file("ca.pem"));
        statePath_ = dir_.path() + "/work/.runtime.properties";
        setRuntimePropertiesPathForTesting(statePath_);
        clearRuntimePropertiesForTesting();
        std::filesystem::create_directories(dir_.path() + "/work");
        writeTextFile(statePath_, "APP_ID = 11111111-2222-4333-8444-555555555555\nBRISVANE_EXPORT = false\n");
        loadRuntimeProperties();
    }
    void TearDown() override {
        setRuntimePropertiesPathForTesting("work/.runtime.properties");
        clearRuntimePropertiesForTesting();
        setLogLevel(2);
    }

    // Starts a server with `identity` and points the client at it.
    ScriptedTlsServer& startServer(const PemIdentity& identity, const std::string& host = "localhost") {
        // The old variable is restored before the new one is set.
        endpoint_.reset();
        server_.reset();
        server_ = std::make_unique<ScriptedTlsServer>(identity);
        endpoint_ = std::make_unique<ScopedEnvVar>("BRISVANE_WEB_API",
                                                   "https://" + host + ":" + std::to_string(server_->port()));
        return *server_;
    }
    ScriptedTlsServer& startServer() { return startServer(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"})); }

    std::string state() const { return readTextFile(statePath_); }

    TempDir dir_;
    TestCertificateAuthority ca_;
    std::unique_ptr<ScopedEnvVar> trust_;
    std::unique_ptr<ScopedEnvVar> endpoint_;
    std::unique_ptr<ScriptedTlsServer> server_;
    std::string statePath_;
};

TEST_F(RegistrationTest, SendsTheExactRegistrationRequest) {
    ScriptedTlsServer& server = startServer();
    server.setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":7,"retdesc":"no"})"));
    registerBrisvane("127.0.0.1", 4092);

    // A second registration sends the stored API key back.
    updateRuntimeProperties({{"BRISVANE_API_KEY", "key-1"}});
    loadRuntimeProperties();
    registerBrisvane("localhost", 5000);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& request = requests[i];
        const size_t split = request.find("\r\n\r\n");
        ASSERT_NE(split, std::string::npos);
        const std::string body = request.substr(split + 4);
        const json sent = json::parse(body);
        const std::string date = sent.value("requestDate", "");
        EXPECT_TRUE(std::regex_match(date, std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))) << date;
        const std::string host = hostNameOrEmpty();
        json expected = {
            {"appId", "11111111-2222-4333-8444-555555555555"},
            {"programId", host.empty() ? "brisvane" : "qz-" + host},
            {"version", "1.0.23"},
            {"requestDate", date},
            {"local_port", i == 0 ? 4092 : 5000},
            {"local_bindaddr", i == 0 ? "127.0.0.1" : "localhost"},
            {"local_hostname", host},
        };
        if (i == 1) expected["brisvane_api_key"] = "key-1";
        EXPECT_EQ(body, expected.dump());
        EXPECT_EQ(request.substr(0, split + 4),
                  "POST /brisvane/api/registerBrisvane HTTP/1.0\r\nHost: localhost:" + std::to_string(server.port()) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n");
    }
}

TEST_F(RegistrationTest, ASuccessfulRegistrationStoresTheCredentials) {
    ScriptedTlsServer& server = startServer();
    server.setAnswer(ScriptedTlsServer::httpAnswer(
        R"({"retcode":0,"retdesc":"ok","data":{"brisvaneId":"dev-9","brisvaneName":"Desk","apiBase":"https://api.example",)"
        R"("brisvane_api_key":"key-9","brisvaneToken":"tok-9","rtsHost":"relay.example","expiresDays":30}})"));
    const RegistrationResult result = registerBrisvane("127.0.0.1", 4092);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.code, "");
    EXPECT_EQ(result.message, "");

    const std::string date = json::parse(server.requests().at(0).substr(server.requests()[0].find("\r\n\r\n") + 4))
                                 .at("requestDate");
    EXPECT_EQ(state(),
              "APP_ID = 11111111-2222-4333-8444-555555555555\n"
              "BRISVANE_EXPORT     = true\n"
              "API_BASE            = https://api.example\n"
              "BRISVANE_API_KEY    = key-9\n"
              "BRISVANE_ID         = dev-9\n"
              "BRISVANE_NAME       = Desk\n"
              "BRISVANE_TOKEN      = tok-9\n"
              "EXPIRES_DAYS        = 30\n"
              "FIRST_AUTH_AT       = " + date + "\n"
              "RTS_HOST            = relay.example\n");
    const RuntimePropertiesSnapshot s = runtimePropertiesSnapshot();
    EXPECT_EQ(s.brisvaneIdRegistration, "dev-9");
    EXPECT_EQ(s.brisvaneIdRelay, "dev-9");
    EXPECT_EQ(s.token, "tok-9");
    EXPECT_EQ(s.apiKey, "key-9");
    EXPECT_EQ(s.rtsHost, "relay.example");
    EXPECT_EQ(s.expiresDays, 30);
    EXPECT_TRUE(s.brisvaneExport);

    // Without "rtsHost" the stored relay host stays.
    server.setAnswer(ScriptedTlsServer::httpAnswer(
        R"({"retcode":0,"data":{"brisvaneId":"dev-10","brisvane_api_key":"k","brisvaneToken":"t"}})"));
    ASSERT_TRUE(registerBrisvane("127.0.0.1", 4092).ok);
    EXPECT_NE(state().find("RTS_HOST            = relay.example\n"), std::string::npos);
    EXPECT_NE(state().find("EXPIRES_DAYS        = 0\n"), std::string::npos);
    EXPECT_EQ(runtimePropertiesSnapshot().brisvaneIdRegistration, "dev-10");
}

TEST_F(RegistrationTest, EveryOtherAnswerIsAFailureResultAndStoresNothing) {
    struct Case {
        const char* name;
        std::string answer;  // raw bytes from the server
        std::string code;
        std::string message;  // exact, or a required part when `partial`
        bool partial = false;
        std::string authType = "";
        std::string authUrl = "";
    };
    const auto http = ScriptedTlsServer::httpAnswer;
    const std::vector<Case> cases = {
        {"pending with auth", http(R"({"retcode":5,"retdesc":"approve it","data":{"auth":{"type":"app","url":"https://a/x"}}})"),
         "pending_approval", "approve it", false, "app", "https://a/x"},
        {"pending without data", http(R"({"retcode":5})"), "pending_approval", "authentication required", false, "web", ""},
        {"pending with empty auth", http(R"({"retcode":5,"data":{"auth":{}}})"), "pending_approval",
         "authentication required", false, "web", ""},
        {"declined", http(R"({"retcode":3,"retdesc":"device limit"})"), "registration_failed", "device limit"},
        {"declined without text", http(R"({"retcode":9})"), "registration_failed", "unknown error"},
        {"no retcode", http(R"({"data":{}})"), "registration_failed", "unknown error"},
        {"token missing", http(R"({"retcode":0,"data":{"brisvaneId":"dev-1","brisvane_api_key":"k"}})"),
         "internal_error",
         "Invalid server response: missing required fields (brisvaneId=dev-1 brisvane_api_key=OK brisvaneToken=MISSING)"},
        {"all missing", http(R"({"retcode":0,"data":{}})"), "internal_error",
         "Invalid server response: missing required fields (brisvaneId= brisvane_api_key=MISSING brisvaneToken=MISSING)"},
        {"not json", http("<html>busy</html>"), "internal_error", "Failed to parse localhost response."},
        {"empty answer", "", "internal_error", "Failed to parse localhost response."},
        {"no data on success", http(R"({"retcode":0})"), "internal_error", "", true},
        {"retcode of the wrong type", http(R"({"retcode":"0"})"), "internal_error", "", true},
        {"answer not an object", http(R"([0])"), "internal_error", "", true},
        {"line break in a credential",
         http(R"({"retcode":0,"data":{"brisvaneId":"d","brisvane_api_key":"k","brisvaneToken":"t\nRTS_HOST=evil"}})"),
         "internal_error", "\"BRISVANE_TOKEN\" must not hold a line break", true},
        // The file reads "#" as the start of a comment: a stored "tok#secret"
        // would come back as "tok" after a restart.
        {"comment sign in a credential",
         http(R"({"retcode":0,"data":{"brisvaneId":"d","brisvane_api_key":"k","brisvaneToken":"tok#secret"}})"),
         "internal_error",
         "invalid runtime property value: \"BRISVANE_TOKEN\" must not hold \"#\", which starts a "
         "comment in the file"},
        {"control byte in a credential",
         http(R"({"retcode":0,"data":{"brisvaneId":"d","brisvane_api_key":"k\u0000x","brisvaneToken":"t"}})"),
         "internal_error", "\"BRISVANE_API_KEY\" must not hold control characters", true},
    };
    ScriptedTlsServer& server = startServer();
    const std::string before = state();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.setAnswer(c.answer);
        const RegistrationResult r = registerBrisvane("127.0.0.1", 4092);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, c.code);
        if (c.partial) {
            EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
            EXPECT_FALSE(r.message.empty());
        } else {
            EXPECT_EQ(r.message, c.message);
        }
        EXPECT_EQ(r.authType, c.authType);
        EXPECT_EQ(r.authUrl, c.authUrl);
        EXPECT_EQ(state(), before);
        EXPECT_FALSE(runtimePropertiesSnapshot().brisvaneExport);
    }
}

TEST_F(RegistrationTest, AnAnswerWithoutAHeadIsParsedWhole) {
    ScriptedTlsServer& server = startServer();
    server.setAnswer(R"({"retcode":0,"data":{"brisvaneId":"d","brisvane_api_key":"k","brisvaneToken":"t"}})");
    EXPECT_TRUE(registerBrisvane("127.0.0.1", 4092).ok);
    EXPECT_EQ(runtimePropertiesSnapshot().token, "t");
}

TEST_F(RegistrationTest, ResetCallsTheServiceOnlyWithStoredCredentials) {
    ScriptedTlsServer& server = startServer();
    server.setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":0})"));
    RegistrationResult r = brisvaneReset();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(server.connections(), 0);

    updateRuntimeProperties({{"BRISVANE_ID", "dev-3"}, {"BRISVANE_TOKEN", "tok-3"}});
    loadRuntimeProperties();
    const std::string before = state();
    r = brisvaneReset();
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(state(), before);  // the caller resets the file
    const std::string body = R"({"brisvaneId":"dev-3","brisvaneToken":"tok-3"})";
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "POST /brisvane/api/brisvaneReset HTTP/1.0\r\nHost: localhost:" +
                                        std::to_string(server.port()) +
                                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n\r\n" + body);

    struct Case {
        std::string answer, code, message;
    };
    for (const Case& c : std::vector<Case>{
             {ScriptedTlsServer::httpAnswer(R"({"retcode":4,"retdesc":"unknown device"})"), "brisvane_reset_failed",
              "unknown device"},
             {ScriptedTlsServer::httpAnswer(R"({"retcode":4})"), "brisvane_reset_failed", "unknown error"},
             {ScriptedTlsServer::httpAnswer("oops"), "internal_error", "Failed to parse localhost response."},
         }) {
        server.setAnswer(c.answer);
        r = brisvaneReset();
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.message, c.message);
    }
}

TEST_F(RegistrationTest, UnverifiableServersFailWithAClearMessage) {
    TestCertificateAuthority stranger("Unknown CA");
    struct Case {
        const char* name;
        PemIdentity identity;
        std::string host;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"another name", ca_.issueServerCertificate({"other.example"}), "localhost", "hostname mismatch"},
        {"unknown CA", stranger.issueServerCertificate({"localhost"}, {"127.0.0.1"}), "localhost",
         "unable to get local issuer certificate"},
        {"address not in the certificate", ca_.issueServerCertificate({"localhost"}), "127.0.0.1",
         "IP address mismatch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedTlsServer& server = startServer(c.identity, c.host);
        server.setAnswer(ScriptedTlsServer::httpAnswer(
            R"({"retcode":0,"data":{"brisvaneId":"d","brisvane_api_key":"k","brisvaneToken":"t"}})"));
        const std::string before = state();
        const RegistrationResult r = registerBrisvane("127.0.0.1", 4092);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, "internal_error");
        EXPECT_EQ(r.message, "HTTPS connection failed: " + c.host + " (certificate verification failed: " +
                                 c.reason + ")");
        EXPECT_TRUE(server.requests().empty());
        EXPECT_EQ(state(), before);

        updateRuntimeProperties({{"BRISVANE_ID", "dev"}, {"BRISVANE_TOKEN", "tok"}});
        loadRuntimeProperties();
        EXPECT_EQ(brisvaneReset().code, "internal_error");
        writeTextFile(statePath_, before);
        loadRuntimeProperties();
    }

    // The matching address is accepted.
    ScriptedTlsServer& server = startServer(ca_.issueServerCertificate({}, {"127.0.0.1"}), "127.0.0.1");
    server.setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":3})"));
    EXPECT_EQ(registerBrisvane("127.0.0.1", 4092).code, "registration_failed");
}

TEST_F(RegistrationTest, ARefusedConnectionOrBadEndpointIsAFailureResult) {
    RefusingPort refusing;
    {
        ScopedEnvVar endpoint("BRISVANE_WEB_API", "https://127.0.0.1:" + std::to_string(refusing.port()));
        const RegistrationResult r = registerBrisvane("127.0.0.1", 4092);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, "internal_error");
        EXPECT_EQ(r.message, "HTTPS connection failed: 127.0.0.1 (connect: Connection refused)");
    }
    {
        ScopedEnvVar endpoint("BRISVANE_WEB_API", "http://localhost:80");
        const RegistrationResult r = registerBrisvane("127.0.0.1", 4092);
        EXPECT_EQ(r.code, "internal_error");
        EXPECT_NE(r.message.find("BRISVANE_WEB_API"), std::string::npos) << r.message;
    }
}

TEST(TlsClientTest, TimesOutAndCapsTheAnswer) {
    setLogLevel(0);
    TempDir dir;
    TestCertificateAuthority ca;
    ca.writeCertificate(dir.file("ca.pem"));
    ScopedEnvVar trust("SSL_CERT_FILE", dir.file("ca.pem"));
    ScriptedTlsServer server(ca.issueServerCertificate({"localhost"}, {"127.0.0.1"}));

    TlsClientOptions quick;
    quick.ioTimeoutMs = 200;
    server.setSilent(true);
    try {
        httpsPostJson("localhost", server.port(), "/x", "{}", quick);
        ADD_FAILURE() << "no time-out";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "HTTPS exchange failed: localhost (read timed out)");
    }
    server.setSilent(false);

    TlsClientOptions small;
    small.maxResponseBytes = 64 * 1024;
    server.setAnswer(std::string(small.maxResponseBytes, 'x'));
    EXPECT_EQ(tlsExchange("localhost", server.port(), "GET / HTTP/1.0\r\n\r\n", small).size(), small.maxResponseBytes);
    server.setAnswer(std::string(small.maxResponseBytes + 1, 'x'));
    try {
        tlsExchange("localhost", server.port(), "GET / HTTP/1.0\r\n\r\n", small);
        ADD_FAILURE() << "no cap";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "HTTPS exchange failed: localhost (answer larger than 65536 bytes)");
    }
    // The default cap is 1 MiB.
    EXPECT_EQ(TlsClientOptions().maxResponseBytes, 1024u * 1024u);
    setLogLevel(2);
}

TEST(WebApiBaseTest, ParsesSchemeHostAndPort) {
    struct Case {
        std::string text;
        bool ok;
        std::string host;
        int port;
    };
    for (const Case& c : std::vector<Case>{
             {"https://api.example", true, "api.example", 443},
             {"https://api.example/", true, "api.example", 443},
             {"https://localhost:8443", true, "localhost", 8443},
             {"https://[::1]:9000", true, "::1", 9000},
             {"https://[::1]", true, "::1", 443},
             {"http://api.example", false, "", 0},
             {"https://", false, "", 0},
             {"https://:443", false, "", 0},
             {"https://host:0", false, "", 0},
             {"https://host:65536", false, "", 0},
             {"https://host:", false, "", 0},
             {"https://host:12a", false, "", 0},
             {"https://host/path", false, "", 0},
             {"https://user@host", false, "", 0},
         }) {
        SCOPED_TRACE(c.text);
        WebServiceEndpoint endpoint;
        std::string error;
        EXPECT_EQ(parseWebApiBase(c.text, &endpoint, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(endpoint.host, c.host);
            EXPECT_EQ(endpoint.port, c.port);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    WebServiceEndpoint fallback;
    std::string error;
    EXPECT_TRUE(parseWebApiBase(kDefaultWebApiBase, &fallback, &error));
    EXPECT_EQ(fallback.port, 443);
}

TEST(WebApiBaseTest, DeviceNameComesFromTheHostName) {
    const std::string host = hostNameOrEmpty();
    EXPECT_EQ(defaultDeviceName(), host.empty() ? "brisvane" : "qz-" + host);
}

}  // namespace
