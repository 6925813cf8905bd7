// The service switch and the server-wide management endpoints of the real
// brisvanesrv: status, up (registration with the maker's web service, played
// by a TLS stand-in with a CA made here), down with a chat running,
// shutdown, reset, the registration endpoint, the event log and the runtime
// properties.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"
#include "support/test_paths.h"
#include "support/tls_test_server.h"

namespace {

using nlohmann::json;

constexpr char kAppId[] = "11111111-2222-4333-8444-555555555555";

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

std::string registered(const std::string& id) {
    return ScriptedTlsServer::httpAnswer(
        R"({"retcode":0,"data":{"brisvaneId":")" + id +
        R"(","brisvaneName":"Desk","apiBase":"https://api.example","brisvane_api_key":"key-1","brisvaneToken":"tok-1"}})");
}

// A home whose service starts off, with one scripted instance, and a stand-in
// web service the server trusts.
class MgmtService : public ::testing::Test {
protected:
    void SetUp() override {
        home_.addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}});
        home_.addInstance("chat", "tagged", {{"truncate_storage_on_unload", true}});
        home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = false\n");
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        service_ = std::make_unique<ScriptedTlsServer>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
    }

    bool start() {
        return home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                            {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(service_->port())}});
    }
    std::string state() const { return readTextFile(home_.dir().file("work/.runtime.properties")); }
    int served() const { return home_.get("/v1/mivrels").status; }
    HttpReply cli(const std::string& name) const { return home_.post("/mgmt-api/cli/" + name, "{}"); }
    std::vector<std::string> eventTexts() const {
        std::vector<std::string> texts;
        const json events = bodyJson(home_.get("/mgmt-api/events"));
        for (const json& event : events["events"]) texts.push_back(event["text"]);
        return texts;
    }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<ScriptedTlsServer> service_;
};

TEST_F(MgmtService, StatusDocument) {
    ASSERT_TRUE(start());
    const HttpReply reply = home_.get("/mgmt-api/cli/status");
    ASSERT_EQ(reply.status, 200);
    const json status = bodyJson(reply);
    EXPECT_EQ(status["process"], json({{"version", "1.0.23"},
                                       {"port", home_.port()},
                                       {"brisvaneId", ""},
                                       {"gatewayConnected", false},
                                       {"gatewayStatus", "unregistered"}}));
    EXPECT_EQ(status["inference"]["activeMivrelCount"], 1);
    const json& chat = status["inference"]["mivrels"][0];
    EXPECT_EQ(chat["id"], "chat");
    EXPECT_EQ(chat["name"], "Name of chat");
    EXPECT_EQ(chat["status"], "not loaded");
    EXPECT_EQ(chat["inTokens"], 0);
    EXPECT_EQ(chat["outTokens"], 0);
    EXPECT_EQ(chat["nCtx"], 512);
    EXPECT_NE(chat["modelPath"].get<std::string>().find("scripted.gguf"), std::string::npos);
    EXPECT_TRUE(keysInOrder(reply.body, {"inference", "activeMivrelCount", "mivrels", "process", "brisvaneId"}));
}

TEST_F(MgmtService, UpRegistersThroughTheWebServiceOrReportsWhy) {
    ASSERT_TRUE(start());
    service_->setAnswer(ScriptedTlsServer::httpAnswer(
        R"({"retcode":5,"retdesc":"approve me","data":{"auth":{"type":"web","url":"https://approve.example/x"}}})"));
    const HttpReply pending = cli("up");
    EXPECT_EQ(pending.status, 403);
    EXPECT_EQ(pending.reason, "Forbidden");
    EXPECT_EQ(pending.body, R"({"error":{"auth":{"type":"web","url":"https://approve.example/x"},)"
                            R"("code":"pending_approval","message":"approve me"}})");
    EXPECT_EQ(served(), 503) << "still off";

    service_->setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":7,"retdesc":"no such device"})"));
    const HttpReply refused = cli("up");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(errorCode(refused), "registration_failed");
    EXPECT_EQ(errorMessage(refused), "no such device");

    // No web service reachable: the failure is reported, nothing is stored.
    service_.reset();
    const HttpReply unreachable = cli("up");
    EXPECT_EQ(unreachable.status, 409);
    EXPECT_EQ(errorCode(unreachable), "internal_error");
    EXPECT_EQ(served(), 503);
    EXPECT_EQ(state().find("BRISVANE_ID"), std::string::npos);
}

TEST_F(MgmtService, UpAndTheRegistrationEndpointSwitchTheServiceOn) {
    ASSERT_TRUE(start());
    service_->setAnswer(registered("dev-1"));
    const HttpReply up = cli("up");
    ASSERT_EQ(up.status, 200) << up.body;
    EXPECT_EQ(up.body, R"({"success":{"message":"Brisvane is registered and started."}})");
    EXPECT_EQ(served(), 200);
    EXPECT_NE(state().find("BRISVANE_EXPORT     = true\n"), std::string::npos) << state();
    EXPECT_NE(state().find("BRISVANE_ID         = dev-1\n"), std::string::npos);
    ASSERT_EQ(service_->requests().size(), 1u);
    EXPECT_EQ(service_->requests()[0].rfind("POST /brisvane/api/registerBrisvane ", 0), 0u);
    EXPECT_EQ(eventTexts().front(), "Brisvane 활성화");

    service_->setAnswer(registered("dev-2"));
    const HttpReply again = home_.post("/mgmt-api/registerBrisvane", "");
    ASSERT_EQ(again.status, 200) << again.body;
    EXPECT_EQ(bodyJson(again), json({{"status", "registered"},
                                     {"brisvaneId", "dev-2"},
                                     {"apiBase", "https://api.example"},
                                     {"brisvaneApiKey", "key-1"},
                                     {"brisvaneToken", "tok-1"}}));
    EXPECT_EQ(eventTexts().front(), "Brisvane 등록");
    service_->setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":5,"retdesc":"approve"})"));
    const HttpReply pending = home_.post("/mgmt-api/registerBrisvane", "");
    EXPECT_EQ(pending.status, 409);
    EXPECT_EQ(errorCode(pending), "pending_approval");
}

TEST_F(MgmtService, DownStopsARunningChatUnloadsAndStoresTheSwitch) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = true\n");
    ASSERT_TRUE(start());
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/start", "").status, 200);
    OpenStream stream;
    const std::string body = json({{"conversationId", "c"},
                                   {"messages", json::array({{{"role", "user"}, {"content", "tick~"}}})},
                                   {"options", {{"stream", true}}}})
                                 .dump();
    ASSERT_TRUE(stream.open(home_.port(), "/v1/mivrel/chat/messages", body));
    ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();

    const HttpReply down = cli("down");
    ASSERT_EQ(down.status, 200) << down.body;
    EXPECT_EQ(down.body, R"({"success":{"message":"Brisvane deactivated. RTS tunnel closed."}})");
    ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << "the chat was stopped: " << stream.received();
    const json status = bodyJson(home_.get("/mgmt-api/cli/status"));
    EXPECT_EQ(status["inference"]["mivrels"][0]["status"], "not loaded");
    EXPECT_NE(state().find("BRISVANE_EXPORT     = false\n"), std::string::npos) << state();
    EXPECT_EQ(served(), 503);
}

TEST_F(MgmtService, ShutdownEndsTheProcessAndTheNextStartFindsTheServiceOff) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = true\n");
    ASSERT_TRUE(start());
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/start", "").status, 200);
    const HttpReply shutdown = cli("shutdown");
    ASSERT_EQ(shutdown.status, 200) << shutdown.body;
    EXPECT_EQ(shutdown.body, R"({"success":{"message":"Brisvane is shutting down."}})");
    EXPECT_EQ(home_.process().waitExit(20000), 0) << home_.process().stderrText();

    ASSERT_TRUE(start());
    EXPECT_EQ(served(), 503);
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/runtime_properties"))["properties"]["BRISVANE_EXPORT"], "false");
}

TEST_F(MgmtService, ResetDropsTheRegistrationOnlyWhileOff) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId +
                               "\nBRISVANE_EXPORT = true\nBRISVANE_ID = dev-1\nBRISVANE_TOKEN = tok-1\nNOTE = x\n");
    ASSERT_TRUE(start());
    const HttpReply active = cli("reset");
    EXPECT_EQ(active.status, 409);
    EXPECT_EQ(errorCode(active), "bad_request");
    EXPECT_EQ(errorMessage(active), "Brisvane is active. Run 'brisvane down' first.");
    EXPECT_EQ(service_->connections(), 0) << "the web service is not asked";

    ASSERT_EQ(cli("down").status, 200);
    service_->setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":3,"retdesc":"unknown device"})"));
    const HttpReply declined = cli("reset");
    EXPECT_EQ(declined.status, 409);
    EXPECT_EQ(errorCode(declined), "brisvane_reset_failed");
    EXPECT_NE(state().find("dev-1"), std::string::npos) << "nothing dropped";

    service_->setAnswer(ScriptedTlsServer::httpAnswer(R"({"retcode":0})"));
    const HttpReply reset = cli("reset");
    ASSERT_EQ(reset.status, 200) << reset.body;
    EXPECT_EQ(reset.body, R"({"success":{"message":"Registration info has been reset."}})");
    const std::vector<std::string> requests = service_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].rfind("POST /brisvane/api/brisvaneReset ", 0), 0u);
    EXPECT_NE(requests[1].find(R"({"brisvaneId":"dev-1","brisvaneToken":"tok-1"})"), std::string::npos);
    const json properties = bodyJson(home_.get("/mgmt-api/runtime_properties"))["properties"];
    EXPECT_EQ(properties["APP_ID"], kAppId);
    EXPECT_EQ(properties["BRISVANE_EXPORT"], "false");
    EXPECT_FALSE(properties.contains("BRISVANE_ID"));
    EXPECT_FALSE(properties.contains("NOTE"));
}

TEST_F(MgmtService, ResetWithoutAStoredTokenRebuildsTheFileWithoutAskingTheWebService) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId + "\nBRISVANE_EXPORT = false\nBRISVANE_ID = dev-1\nNOTE = x\n");
    ASSERT_TRUE(start());
    const json process = bodyJson(home_.get("/mgmt-api/cli/status"))["process"];
    EXPECT_EQ(process["gatewayStatus"], "down") << "off, with a device id stored";
    EXPECT_EQ(process["brisvaneId"], "dev-1");
    const HttpReply reset = cli("reset");
    ASSERT_EQ(reset.status, 200) << reset.body;
    EXPECT_EQ(service_->connections(), 0);
    const json properties = bodyJson(home_.get("/mgmt-api/runtime_properties"))["properties"];
    EXPECT_EQ(properties["APP_ID"], kAppId);
    EXPECT_EQ(properties["BRISVANE_EXPORT"], "false");
    EXPECT_TRUE(properties.contains("CREATED_AT"));
    EXPECT_FALSE(properties.contains("BRISVANE_ID"));
    EXPECT_FALSE(properties.contains("NOTE"));
}

TEST_F(MgmtService, EventLogListDeleteAndClear) {
    ASSERT_TRUE(start());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/storage/reset", "").status, 200);
    const json all = bodyJson(home_.get("/mgmt-api/events"))["events"];
    ASSERT_GE(all.size(), 4u);  // "Server started" and the three resets
    EXPECT_EQ(all[0]["text"], "Mivrel storage reset");
    EXPECT_EQ(all[0]["actor"], "chat");
    EXPECT_GT(all[0]["eventId"].get<std::string>(), all[1]["eventId"].get<std::string>()) << "newest first";
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/events?limit=2&x=1"))["events"].size(), 2u);
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/events?limit=abc"))["events"].size(), all.size());
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/events?limit=-1"))["events"].size(), all.size());

    const std::string id = all[1]["eventId"];
    const HttpReply removed = home_.post("/mgmt-api/events/" + id + "/delete", "");
    EXPECT_EQ(removed.body, R"({"ok":true})");
    const HttpReply again = home_.post("/mgmt-api/events/" + id + "/delete", "");
    EXPECT_EQ(again.status, 404);
    EXPECT_EQ(errorCode(again), "event_not_found");
    EXPECT_EQ(errorMessage(again), "event not found: " + id);
    const std::string file = readTextFile(home_.dir().file("logs/events.jsonl"));
    EXPECT_EQ(file.find(id), std::string::npos) << "the file was rewritten";
    EXPECT_NE(file.find(all[0]["eventId"].get<std::string>()), std::string::npos);

    EXPECT_EQ(home_.post("/mgmt-api/events/clear", "").body, R"({"ok":true})");
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/events"))["events"], json::array());
    EXPECT_EQ(readTextFile(home_.dir().file("logs/events.jsonl")), "");
    ASSERT_EQ(home_.post("/mgmt-api/mivrel/chat/storage/reset", "").status, 200);
    const json next = bodyJson(home_.get("/mgmt-api/events"))["events"];
    ASSERT_EQ(next.size(), 1u);
    EXPECT_GT(next[0]["eventId"].get<std::string>(), all[0]["eventId"].get<std::string>()) << "ids go on";
}

TEST_F(MgmtService, RuntimePropertiesReadWriteAndSwitch) {
    home_.setRuntimeProperties(std::string("# state\nAPP_ID = ") + kAppId +
                               "\nBRISVANE_EXPORT = false\nCOLOUR = red # a note\nLAST = x");
    ASSERT_TRUE(start());
    const json read = bodyJson(home_.get("/mgmt-api/runtime_properties"));
    EXPECT_EQ(read["properties"]["COLOUR"], "red");
    EXPECT_EQ(read["properties"]["APP_ID"], kAppId);

    const HttpReply on = home_.request("PATCH", "/mgmt-api/runtime_properties", R"({"BRISVANE_EXPORT": true})");
    ASSERT_EQ(on.status, 200) << on.body;
    EXPECT_EQ(on.body, R"({"status":"updated"})");
    EXPECT_EQ(served(), 200) << "switched on without the web service";
    EXPECT_NE(state().find("BRISVANE_EXPORT     = true\n"), std::string::npos) << state();

    ASSERT_EQ(home_.request("PATCH", "/mgmt-api/runtime_properties", R"({"BRISVANE_EXPORT": "yes", "EXTRA_KEY": 5})").status,
              200);
    EXPECT_EQ(served(), 503);
    EXPECT_NE(state().find("BRISVANE_EXPORT     = yes\n"), std::string::npos);
    EXPECT_NE(state().find("LAST = x\n"), std::string::npos) << "a last line gets its line end";
    EXPECT_EQ(state().substr(state().size() - 24), "EXTRA_KEY           = 5\n") << state();

    const std::string before = state();
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"{", "invalid JSON"},
        {"[1]", "request body must be a JSON object"},
        {R"({"lower": "x"})", "invalid runtime property key \"lower\": use A-Z, 0-9 and _"},
        {R"({"A B": "x"})", "invalid runtime property key \"A B\": use A-Z, 0-9 and _"},
        {R"({"BRISVANE_EXPORT": true, "X": "a\nB = c"})", "\"X\" must not hold a line break"},
        {R"({"SERV_PORT": "abc"})", "\"SERV_PORT\" must be a port number 1..65535"},
        {R"({"SERV_PORT": 70000})", "\"SERV_PORT\" must be a port number 1..65535"},
        // Values the file could not give back whole after a restart.
        {R"({"NOTE": "a\u0000b"})", "\"NOTE\" must not hold control characters"},
        {R"({"NOTE": "bell\u0007"})", "\"NOTE\" must not hold control characters"},
        {R"({"BRISVANE_TOKEN": "tok#secret"})", "\"BRISVANE_TOKEN\" must not hold \"#\", which starts a comment in the file"},
        {R"({"NOTE": " padded "})", "\"NOTE\" must not begin or end with a blank"},
        {"{\"NOTE\": \"" + std::string(8193, 'v') + "\"}", "\"NOTE\" must be at most 8192 bytes"},
        {"{\"" + std::string(129, 'K') + "\": \"v\"}", "runtime property keys must be at most 128 bytes"},
    };
    for (const auto& [body, message] : refusals) {
        const HttpReply refused = home_.request("PATCH", "/mgmt-api/runtime_properties", body);
        EXPECT_EQ(refused.status, 400) << body;
        EXPECT_EQ(errorMessage(refused), message) << body;
    }
    EXPECT_EQ(state(), before) << "nothing refused was written";
    EXPECT_EQ(served(), 503);

    ASSERT_EQ(home_.request("PATCH", "/mgmt-api/runtime_properties", R"({"SERV_PORT": "4321"})").status, 200);
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/cli/status"))["process"]["port"], 4321);
    // The system status reports that same address.
    ASSERT_EQ(home_.request("PATCH", "/mgmt-api/runtime_properties", R"({"SERV_IP": "127.0.0.9"})").status, 200);
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/systemStatus"))["server"]["endpoint"], "127.0.0.9:4321");
}

// Only the keys that take effect at once change the running process: the
// device id's start copy (shown by cli/status) and the stored program
// version (sent by the update check) wait for the next start.
TEST_F(MgmtService, RuntimePropertiesPatchAppliesOnlyTheLiveKeys) {
    home_.setRuntimeProperties(std::string("APP_ID = ") + kAppId +
                               "\nBRISVANE_EXPORT = false\nBRISVANE_ID = dev-1\nAPP_VERSION = 1.0.23\n");
    ASSERT_TRUE(start());
    const HttpReply patched = home_.request("PATCH", "/mgmt-api/runtime_properties",
                                            R"({"BRISVANE_ID": "dev-2", "APP_VERSION": "0.0.1", "EXPIRES_DAYS": "7"})");
    ASSERT_EQ(patched.status, 200) << patched.body;
    EXPECT_EQ(bodyJson(home_.get("/mgmt-api/cli/status"))["process"]["brisvaneId"], "dev-1");
    const json properties = bodyJson(home_.get("/mgmt-api/runtime_properties"))["properties"];
    EXPECT_EQ(properties["BRISVANE_ID"], "dev-2");
    EXPECT_EQ(properties["APP_VERSION"], "0.0.1");
}

}  // namespace
