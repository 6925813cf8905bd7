// The real brisvane driving the real brisvanesrv: the status table with
// instances loaded and one generating, "up" against a TLS stand-in of the
// maker's web service, "down" with a chat running, "shutdown" followed by a
// "status" that starts the server again with the service off, "reset"
// refused while on, and a server that accepts but never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"
#include "support/tls_test_server.h"
#include "tool_runner.h"

namespace {

using nlohmann::json;

constexpr char kAppId[] = "11111111-2222-4333-8444-555555555555";
constexpr char kStarting[] = "brisvanesrv is not running — starting it...\nbrisvanesrv started.\n";

std::string registered(const std::string& id) {
    return ScriptedTlsServer::httpAnswer(
        R"({"retcode":0,"data":{"brisvaneId":")" + id +
        R"(","brisvaneName":"Desk","apiBase":"https://api.example","brisvane_api_key":"key-1","brisvaneToken":"tok-1"}})");
}

std::string chatBody(const std::string& content, bool stream) {
    return json({{"conversationId", "c"},
                 {"messages", json::array({{{"role", "user"}, {"content", content}}})},
                 {"options", {{"stream", stream}}}})
        .dump();
}

// A home with the scripted chat model, the tool, and a stand-in web service
// that the servers trust.
class ToolServer : public ::testing::Test {
protected:
    void SetUp() override {
        home_.addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}});
        home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = false\n");
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        service_ = std::make_unique<ScriptedTlsServer>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
    }

    std::map<std::string, std::string> serviceEnv() const {
        return {{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(service_->port())}};
    }
    ToolRun tool(const std::string& word) const {
        return tool_.run({word, "--conf", home_.dir().file("conf/serv.conf")}, "/", serviceEnv());
    }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<ScriptedTlsServer> service_;
    ToolInstall tool_;
};

TEST_F(ToolServer, StatusTableShowsEachInstanceWithItsStateAndCounters) {
    home_.addInstance("chat", "tagged", {{"name", "번역 도우미"}});
    home_.addInstance("idle", "tagged", {{"name", "中文助手😀 with a name far too long"}});
    home_.addInstance("cold", "tagged", {{"name", "日本語"}});
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = true\n");
    ASSERT_TRUE(home_.start());
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/idle/start", "").status, 200);
    ASSERT_EQ(home_.post("/v1/mivrel/idle/messages", chatBody("hello", false)).status, 200);
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/start", "").status, 200);
    OpenStream stream;
    ASSERT_TRUE(stream.open(home_.port(), "/v1/mivrel/chat/messages", chatBody("tick~", true)));
    ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();

    const ToolRun run = tool("status");
    // A generation still running after the tool's request ran during it; on
    // a loaded machine the tiny model may already have filled its context.
    const json after = bodyJson(home_.get("/mgmt-api/cli/status"))["inference"]["mivrels"];
    stream.reset();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const json idle = after[2];
    ASSERT_EQ(idle["id"], "idle");
    ASSERT_GT(idle["outTokens"].get<int>(), 0);
    const bool stillRunning = after[0]["status"] == "running";
    const std::string head =
        "\n=== Brisvane Status ===\n\n"
        "[Process]\n"
        "  Status      : running\n"
        "  Port        : " + std::to_string(home_.port()) + "\n"
        "  Brisvane ID : (not registered)\n"
        "\n[Halvoro Connection]\n"
        "  Gateway     : not registered — run 'brisvane up'\n"
        "\n[Mivrels]  3 registered, 2 loaded\n"
        "  NAME                    MODEL                              CTX  STATUS       IN / OUT\n"
        "  ----------------------  ------------------------------  ------  -----------  ---------\n"
        "  번역 도우미             scripted.gguf                      512  ";
    ASSERT_EQ(run.out.substr(0, head.size()), head) << run.out;
    const std::string state = run.out.substr(head.size(), 13);
    if (stillRunning) {
        EXPECT_EQ(state, "running      ") << run.out;
    } else {
        EXPECT_TRUE(state == "running      " || state == "idle         ") << run.out;
    }
    const std::string rest = run.out.substr(head.size() + 13);
    // The counters of the generating instance move; the other rows are exact
    // (instances in id order: chat, cold, idle).
    const size_t lineEnd = rest.find('\n');
    EXPECT_NE(rest.substr(0, lineEnd).find(" / "), std::string::npos) << rest;
    EXPECT_EQ(rest.substr(lineEnd + 1),
              "  日本語                  scripted.gguf                      512  not loaded   0 / 0\n"
              "  中文助手😀 with a nam…  scripted.gguf                      512  idle         " +
                  std::to_string(idle["inTokens"].get<int>()) + " / " +
                  std::to_string(idle["outTokens"].get<int>()) + "\n\n");
}

TEST_F(ToolServer, UpStartsTheServerAndShowsWhatTheWebServiceSaid) {
    struct Case {
        std::string answer;
        int exitCode;
        std::string out;
        std::string err;
    };
    const std::string approval = "\n[Brisvane Registration Required]\n"
                                 "Open the URL below in a browser to register this Brisvane:\n\n";
    const std::string again = "\n\nAfter registering, run `brisvane up` again.\n\n";
    // A refused registration also names the way on without it.
    const std::string base = "http://127.0.0.1:" + std::to_string(home_.port());
    const std::string offline =
        "\nWithout the Brisvane web service, switch the inference service on for this machine alone:\n"
        "  curl -X PATCH " + base + "/mgmt-api/runtime_properties -d '{\"BRISVANE_EXPORT\": true}'\n"
        "or press \"Switch on without registration\" at " + base + "/admin/#service\n";
    const Case cases[] = {
        {ScriptedTlsServer::httpAnswer(
             R"({"retcode":5,"retdesc":"approve me","data":{"auth":{"type":"web","url":"https://approve.example/x"}}})"),
         1, kStarting, approval + "https://approve.example/x" + again},
        {ScriptedTlsServer::httpAnswer(R"({"retcode":5,"retdesc":"approve me","data":{"auth":{"url":""}}})"), 1, "",
         approval + "(No URL received - check the server response)" + again},
        {ScriptedTlsServer::httpAnswer(R"({"retcode":7,"retdesc":"no such device"})"), 1, "",
         "ERROR:\n\"code\"    : registration_failed\n\"message\" : no such device\n" + offline},
        {registered("dev-1"), 0, "SUCCESS:\n\"message\": Brisvane is registered and started.\n", ""},
    };
    for (const Case& c : cases) {
        service_->setAnswer(c.answer);
        const ToolRun run = tool("up");
        EXPECT_EQ(run.exitCode, c.exitCode) << c.answer;
        EXPECT_EQ(run.out, c.out) << c.answer;
        EXPECT_EQ(run.err, c.err) << c.answer;
    }
    EXPECT_EQ(service_->requests().size(), 4u);
    EXPECT_EQ(home_.get("/v1/mivrels").status, 200) << "the service is on";
    EXPECT_NE(tool("status").out.find("  Brisvane ID : dev-1\n"), std::string::npos);
    EXPECT_EQ(tool_.adoptedServers().size(), 1u);
}

TEST_F(ToolServer, DownStopsARunningChat) {
    home_.addInstance("chat", "tagged");
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = true\n");
    ASSERT_TRUE(home_.start());
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/start", "").status, 200);
    OpenStream stream;
    ASSERT_TRUE(stream.open(home_.port(), "/v1/mivrel/chat/messages", chatBody("tick~", true)));
    ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();

    const ToolRun down = tool("down");
    EXPECT_EQ(down.exitCode, 0) << down.err;
    EXPECT_EQ(down.out, "SUCCESS:\n\"message\": Brisvane deactivated. RTS tunnel closed.\n");
    EXPECT_EQ(down.err, "");
    EXPECT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << "the chat was stopped: " << stream.received();
    const std::string report = tool("status").out;
    EXPECT_NE(report.find("[Mivrels]  1 registered, 0 loaded\n"), std::string::npos) << report;
    EXPECT_NE(report.find("  not loaded   0 / 0\n"), std::string::npos) << report;
    EXPECT_EQ(home_.get("/v1/mivrels").status, 503);
}

TEST_F(ToolServer, ShutdownWaitsForTheEndAndStatusStartsTheServerWithTheServiceOff) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = true\n");
    ASSERT_TRUE(home_.start());
    const ToolRun shutdown = tool("shutdown");
    EXPECT_EQ(shutdown.exitCode, 0) << shutdown.err;
    EXPECT_EQ(shutdown.out, "SUCCESS:\n\"message\": Brisvane is shutting down.\n");
    EXPECT_FALSE(portAccepts(home_.port())) << "the tool returns once the server is gone";
    EXPECT_EQ(home_.process().waitExit(20000), 0);

    const ToolRun status = tool("status");
    EXPECT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(status.out.rfind(kStarting, 0), 0u) << status.out;
    EXPECT_EQ(home_.get("/v1/mivrels").status, 503) << "started with the service off";

    // With no server, "shutdown" and "down" do not start one.
    ASSERT_EQ(tool("shutdown").exitCode, 0);
    for (const char* word : {"shutdown", "down"}) {
        const ToolRun none = tool(word);
        EXPECT_EQ(none.exitCode, 1);
        EXPECT_EQ(none.err, "Error: Could not connect to brisvanesrv — is running?\n");
    }
    EXPECT_FALSE(portAccepts(home_.port()));
}

TEST_F(ToolServer, ResetIsRefusedWhileOnAndDoneAfterDown) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId +
                               "\nBRISVANE_EXPORT = true\nBRISVANE_ID = dev-1\nBRISVANE_TOKEN = tok-1\n");
    ASSERT_TRUE(home_.start(serviceEnv()));
    const ToolRun refused = tool("reset");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "ERROR:\n\"code\"    : bad_request\n\"message\" : Brisvane is active. Run 'brisvane down' first.\n");
    EXPECT_EQ(service_->connections(), 0);

    ASSERT_EQ(tool("down").exitCode, 0);
    service_->setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":0})"));
    const ToolRun reset = tool("reset");
    EXPECT_EQ(reset.exitCode, 0) << reset.err;
    EXPECT_EQ(reset.out, "SUCCESS:\n\"message\": Registration info has been reset.\n"
                         "\nRun the following to activate again.\n\n  brisvane up\n");
    EXPECT_EQ(reset.err, "");
    EXPECT_NE(tool("status").out.find("  Brisvane ID : (not registered)\n"), std::string::npos);
}

TEST_F(ToolServer, ServerThatNeverAnswersEndsTheToolWithAnError) {
    // Connections complete in the listener's backlog and are never read.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(home_.port());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 16), 0);

    const ToolRun run = tool("status");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error: a program on port " + std::to_string(home_.port()) +
                           " accepts connections but sent no reply within 5s (brisvanesrv not responding?).\n");
    EXPECT_TRUE(tool_.adoptedServers().empty()) << "no second server was started";
    ::close(listener);
}

}  // namespace
