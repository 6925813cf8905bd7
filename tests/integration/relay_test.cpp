// The real brisvanesrv behind the stand-in relay: relayed replies against
// local ones in memory and socket mode, the relay status in cli/status as the
// relay comes and goes, "down" asked for through the relay itself, and "up"
// starting the relay again after registration.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include "instance_home.h"
#include "support/stand_in_relay.h"
#include "support/test_models.h"
#include "support/tls_test_server.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr char kUuid[] = "dev-1";
constexpr char kToken[] = "tok-12345678";

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 20000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string chatRequest() {
    const std::string body = json({{"conversationId", "c1"},
                                   {"messages", json::array({{{"role", "user"}, {"content", "Hi"}}})},
                                   {"options", {{"stream", true}, {"mivrel_reset", true}}}})
                                 .dump();
    return buildRequest("POST", "/v1/mivrel/chat/messages",
                        {{"Content-Type", "application/json"}, {"Connection", "close"}}, body);
}

// A chunked reply's head and its body with the chunks joined: how the
// events were grouped into chunks depends on timing, not on the relay.
std::pair<std::string, std::string> headAndBody(const std::string& raw) {
    const size_t headEnd = raw.find("\r\n\r\n");
    std::string body;
    size_t pos = headEnd + 4;
    while (pos < raw.size()) {
        const size_t lineEnd = raw.find("\r\n", pos);
        const size_t size = std::stoul(raw.substr(pos, lineEnd - pos), nullptr, 16);
        if (size == 0) break;
        body += raw.substr(lineEnd + 2, size);
        pos = lineEnd + 2 + size + 2;
    }
    return {raw.substr(0, headEnd), body};
}

// The digit runs that carry message ids, times and durations made equal.
std::string withoutNumbers(const std::string& text) { return std::regex_replace(text, std::regex("[0-9]+"), "#"); }

class RelayServer : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        home_.addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_.addInstance("chat", "scripted");
        writeServerConf(home_.dir().path(), testServerConf(home_.port(), std::string("LOCAL_V1_ACCESS=true\nRTC_LOCAL_MODE=") +
                                                                          GetParam() + "\n"));
        home_.setRuntimeProperties(std::string("APP_ID = app-1\nBRISVANE_EXPORT = true\nRTS_HOST = localhost\n") +
                                   "BRISVANE_ID = " + kUuid + "\nBRISVANE_TOKEN = " + kToken + "\n");
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        relay_ = std::make_unique<StandInRelay>(ca_.issueServerCertificate({"localhost"}), kUuid, kToken);
        web_ = std::make_unique<ScriptedTlsServer>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
        ASSERT_TRUE(home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                                 {"BRISVANE_RELAY_PORT", std::to_string(relay_->port())},
                                 {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(web_->port())}}));
    }

    json status() const { return bodyJson(home_.get("/mgmt-api/cli/status"))["process"]; }
    bool statusIs(const std::string& name, bool running) const {
        return eventually([&] {
            const json s = status();
            return s["gatewayStatus"] == name && s["gatewayConnected"] == running;
        });
    }
    std::string local(const std::string& request) const {
        HttpConnection connection;
        EXPECT_TRUE(connection.connect(home_.port()));
        connection.send(request);
        HttpReply reply;
        EXPECT_TRUE(connection.readReply(&reply, 120000));
        return reply.raw;
    }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<StandInRelay> relay_;
    std::unique_ptr<ScriptedTlsServer> web_;
};

TEST_P(RelayServer, RelayedRepliesEqualLocalOnesAndDownWorksThroughTheRelay) {
    ASSERT_TRUE(relay_->waitAuthenticated(1, 30000)) << home_.serverLog();
    EXPECT_TRUE(statusIs("connected", true));
    const std::string hello = relay_->hellos().at(0);
    EXPECT_NE(hello.find("local_port=" + std::to_string(home_.port())), std::string::npos) << hello;

    const std::string list = buildRequest("GET", "/v1/mivrels", {{"Connection", "close"}});
    const std::optional<std::string> relayedList = relay_->relay(list);
    ASSERT_TRUE(relayedList.has_value());
    EXPECT_EQ(*relayedList, local(list));

    local(chatRequest());  // loads the model, so both compared replies find it loaded
    const std::string reference = local(chatRequest());
    ASSERT_NE(reference.find("message.completed"), std::string::npos) << reference;
    const std::optional<std::string> relayedChat = relay_->relay(chatRequest(), 120000);
    ASSERT_TRUE(relayedChat.has_value());
    const auto [relayedHead, relayedBody] = headAndBody(*relayedChat);
    const auto [localHead, localBody] = headAndBody(reference);
    EXPECT_EQ(relayedHead, localHead);
    EXPECT_EQ(withoutNumbers(relayedBody), withoutNumbers(localBody));
    EXPECT_NE(relayedBody.find("data: [DONE]\n\n"), std::string::npos);

    // The relay goes away: the status says so, and comes back with it.
    relay_->setRefusing(true);
    relay_->dropControl();
    EXPECT_TRUE(eventually([&] { return status()["gatewayStatus"] != "connected"; }));
    const std::string between = status()["gatewayStatus"];
    EXPECT_TRUE(between == "disconnected" || between == "connecting") << between;
    EXPECT_TRUE(status()["gatewayConnected"]);
    relay_->setRefusing(false);
    ASSERT_TRUE(relay_->waitAuthenticated(2, 30000));
    EXPECT_TRUE(statusIs("connected", true));

    // "down" asked for through the relay: the reply still comes back through it.
    const std::optional<std::string> down = relay_->relay(
        buildRequest("POST", "/mgmt-api/cli/down", {{"Connection", "close"}}, "{}"), 60000);
    ASSERT_TRUE(down.has_value());
    EXPECT_NE(down->find(R"({"success":{"message":"Brisvane deactivated. RTS tunnel closed."}})"), std::string::npos)
        << *down;
    EXPECT_TRUE(statusIs("down", false));
    EXPECT_EQ(home_.get("/v1/mivrels").status, 503);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(relay_->authenticatedCount(), 2) << "no reconnect after down";

    // "up" registers again and starts the relay.
    web_->setAnswer(ScriptedTlsServer::httpAnswer(
        std::string(R"({"retcode":0,"data":{"brisvaneId":")") + kUuid +
        R"(","apiBase":"https://api.example","brisvane_api_key":"key-1","brisvaneToken":")" + kToken +
        R"(","rtsHost":"localhost"}})"));
    const HttpReply up = home_.post("/mgmt-api/cli/up", "{}");
    ASSERT_EQ(up.status, 200) << up.body;
    EXPECT_TRUE(relay_->waitAuthenticated(3, 30000));
    EXPECT_TRUE(statusIs("connected", true));

    // Local "down" stops it too.
    ASSERT_EQ(home_.post("/mgmt-api/cli/down", "{}").status, 200);
    EXPECT_TRUE(statusIs("down", false));
}

INSTANTIATE_TEST_SUITE_P(Modes, RelayServer, ::testing::Values("memory", "socket"));

}  // namespace
