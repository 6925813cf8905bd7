// A hostile run against what the real brisvanesrv keeps on disk: the model
// folders behind the registry and the runtime state file. Each replay ends
// with a restart and a chat, since the damage these requests once did only
// showed there (a model gone from under its instances, the service off for
// good). Waits are generous (a loaded machine) and nothing is timed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "instance_home.h"
#include "support/http_client.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

// A short chat on instance `id`, on a connection that waits for a model load.
HttpReply chat(const InstanceHome& home, const std::string& id) {
    const std::string body = json({{"conversationId", "c1"},
                                   {"messages", json::array({{{"role", "user"}, {"content", "hi"}}})},
                                   {"options", {{"stream", false}, {"max_tokens", 4}}}})
                                 .dump();
    HttpReply reply;
    HttpConnection connection;
    if (!connection.connect(home.port())) return reply;
    if (!connection.send(buildRequest("POST", "/v1/mivrel/" + id + "/messages",
                                      {{"Content-Type", "application/json"}}, body))) {
        return reply;
    }
    if (!connection.readReply(&reply, 300000)) return HttpReply();
    return reply;
}

// A second registration that names another model's folder (or a folder
// around or inside it): deleting it must not take the first model's files.
TEST(HostileState, DeletingAModelRegisteredOnAnotherModelsFolderKeepsThatFolder) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("chat", "tiny");
    ASSERT_TRUE(home.start());
    const std::string tinyFolder = home.dir().file("models/tiny");
    const std::string model = tinyFolder + "/tiny.gguf";
    const struct {
        std::string id;
        std::string storagePath;
        std::string filename;
    } registrations[] = {
        {"evil", tinyFolder, "tiny.gguf"},
        {"evil-relative", "models/tiny", "tiny.gguf"},
        {"evil-spelt", home.dir().file("models/./tiny/"), "tiny.gguf"},
    };
    for (const auto& r : registrations) {
        SCOPED_TRACE(r.id);
        const HttpReply registered = home.post(
            "/mgmt-api/models/registerLocal",
            json({{"modelId", r.id}, {"name", r.id}, {"filename", r.filename}, {"storagePath", r.storagePath}}).dump());
        ASSERT_EQ(registered.status, 200) << registered.body;
        const HttpReply deleted = home.post("/mgmt-api/models/" + r.id + "/delete", "");
        ASSERT_EQ(deleted.status, 200) << deleted.body;
        EXPECT_TRUE(fs::exists(fs::symlink_status(model))) << "the other model's file was deleted";
    }
    const json registry = bodyJson(home.get("/mgmt-api/models"));
    ASSERT_EQ(registry["models"].size(), 1u) << registry.dump();
    EXPECT_EQ(registry["models"][0]["modelId"], "tiny");

    ASSERT_EQ(home.process().stop(), 0);
    ASSERT_TRUE(home.start());
    const HttpReply reply = chat(home, "chat");
    EXPECT_EQ(reply.status, 200) << reply.body;

    // The model's own delete still removes its folder.
    ASSERT_EQ(home.post("/mgmt-api/models/tiny/delete", "").status, 200);
    EXPECT_FALSE(fs::exists(tinyFolder));
}

// Runtime properties the state file cannot give back whole are refused, and
// a file that an older server damaged (a NUL in one line) costs only that
// line at the next start: the credentials load and the service stays on.
TEST(HostileState, RuntimePropertiesThatWouldBreakTheStateFile) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("chat", "tiny");
    const std::string initial = "APP_ID = 0b6e2f47-1c1d-4c55-9a3e-7f6d3f0c9a11\nBRISVANE_ID = dev-1\n"
                                "BRISVANE_TOKEN = tok-1\nBRISVANE_EXPORT = true\n";
    home.setRuntimeProperties(initial);
    ASSERT_TRUE(home.start());

    const struct {
        const char* body;
        const char* message;
    } refused[] = {
        {R"({"NOTE":"a\u0000b"})", "\"NOTE\" must not hold control characters"},
        {R"({"NOTE":"\u001b]0;title\u0007"})", "\"NOTE\" must not hold control characters"},
        {R"({"BRISVANE_TOKEN":"tok#secret"})",
         "\"BRISVANE_TOKEN\" must not hold \"#\", which starts a comment in the file"},
    };
    for (const auto& r : refused) {
        const HttpReply reply = home.request("PATCH", "/mgmt-api/runtime_properties", r.body);
        EXPECT_EQ(reply.status, 400) << r.body;
        EXPECT_EQ(errorMessage(reply), r.message) << r.body;
    }
    ASSERT_EQ(home.request("PATCH", "/mgmt-api/runtime_properties", R"({"NOTE":"kept"})").status, 200);

    ASSERT_EQ(home.process().stop(), 0);
    ASSERT_TRUE(home.start());
    EXPECT_EQ(chat(home, "chat").status, 200) << "the service is still on";
    json properties = bodyJson(home.get("/mgmt-api/runtime_properties"))["properties"];
    EXPECT_EQ(properties["BRISVANE_TOKEN"], "tok-1");
    EXPECT_EQ(properties["NOTE"], "kept");
    ASSERT_EQ(home.process().stop(), 0);

    // What the older server wrote for {"NOTE":"a\u0000b"}.
    home.setRuntimeProperties(initial + "NOTE                = a" + std::string(1, '\0') + "b\n");
    ASSERT_TRUE(home.start());
    const HttpReply served = chat(home, "chat");
    EXPECT_EQ(served.status, 200) << "a damaged line switched the service off: " << served.body;
    properties = bodyJson(home.get("/mgmt-api/runtime_properties"))["properties"];
    EXPECT_EQ(properties["BRISVANE_TOKEN"], "tok-1");
    EXPECT_EQ(properties["BRISVANE_ID"], "dev-1");
    EXPECT_FALSE(properties.contains("NOTE"));
    EXPECT_EQ(bodyJson(home.get("/mgmt-api/cli/status"))["process"]["brisvaneId"], "dev-1");
    EXPECT_NE(home.serverLog().find("holds control characters and is skipped"), std::string::npos);
}

}  // namespace
