// The management API's router and instance endpoints on the real
// brisvanesrv: unknown paths and methods, the instance list, creation and
// settings, and the lifecycle actions, alone and while a chat streams.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

std::string chatBody(const std::string& conversation, const std::string& text, const json& options = json::object()) {
    return json({{"conversationId", conversation},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 {"options", options}})
        .dump();
}

class MgmtInstances : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_->addInstance("life", "scripted");
        // This assembler never ends the scripted model's "tick~" loop.
        home_->addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}});
        home_->addInstance("busy", "tagged");
        home_->addInstance("orphan", "nosuchmodel");
        home_->addInstance("keep", "scripted", {{"enable_storage_encryption", true}});
        home_->addInstance("broken", "scripted");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static HttpReply action(const std::string& id, const std::string& name) {
        return home_->post("/mgmt-api/mivrel/" + id + "/" + name, "");
    }
    static json listEntry(const std::string& id) {
        const json list = bodyJson(home_->get("/mgmt-api/mivrelList"));
        for (const json& entry : list["mivrelList"]) {
            if (entry["mivrelId"] == id) return entry;
        }
        return nullptr;
    }
    static std::vector<std::string> eventTexts(const std::string& actor) {
        std::vector<std::string> texts;
        const json events = bodyJson(home_->get("/mgmt-api/events"));
        for (const json& event : events["events"]) {
            if (event["actor"] == actor) texts.push_back(event["level"].get<std::string>() + " " + event["text"].get<std::string>());
        }
        return texts;
    }
    static void expectError(const HttpReply& reply, int status, const std::string& code, const std::string& message,
                            const std::string& what) {
        EXPECT_EQ(reply.status, status) << what << ": " << reply.body;
        EXPECT_EQ(errorCode(reply), code) << what;
        EXPECT_EQ(errorMessage(reply), message) << what;
        EXPECT_FALSE(bodyJson(reply)["error"].contains("httpStatus")) << what;
    }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> MgmtInstances::home_;

TEST_F(MgmtInstances, UnknownPathsAndMethodsAnswerTheJson404) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET", "/mgmt-api/models/"},          {"PUT", "/mgmt-api/mivrel/life/properties"},
        {"POST", "/mgmt-api/mivrel//start"},   {"GET", "/mgmt-api/cli/up"},
        {"DELETE", "/mgmt-api/events"},        {"GET", "/mgmt-api/mivrelList/"},
        {"POST", "/mgmt-api/nothing"},         {"PATCH", "/mgmt-api/cli/status"},
    };
    for (const auto& [method, path] : cases) {
        const HttpReply reply = home_->request(method, path, "");
        EXPECT_EQ(reply.status, 404) << method << " " << path;
        EXPECT_EQ(reply.reason, "Not Found");
        EXPECT_EQ(reply.body, json({{"error", {{"code", "not_found"}, {"message", "Unknown endpoint: " + path},
                                               {"httpStatus", 404}}}})
                                  .dump())
            << method << " " << path;
    }
    // Management replies are compact, sorted, with their own reason texts.
    const HttpReply conflict = action("life", "stop");
    EXPECT_EQ(conflict.reason, "Conflict");
    EXPECT_EQ(conflict.body, R"({"error":{"code":"mivrel_not_running","message":"not generating: life"}})");
    EXPECT_EQ(conflict.header("Content-Type"), "application/json");
}

TEST_F(MgmtInstances, ListCreateAndReadSettings) {
    const json orphan = listEntry("orphan");
    ASSERT_TRUE(orphan.is_object());
    EXPECT_EQ(orphan["status"], "idle");
    EXPECT_EQ(orphan["loaded"], false);
    EXPECT_EQ(orphan["properties"]["name"], "Name of orphan");
    EXPECT_TRUE(orphan["startedAt"].is_null());
    EXPECT_TRUE(orphan["conversationId"].is_null());

    const HttpReply created = home_->post("/mgmt-api/mivrelCreate",
                                          R"({"mivrelId": "made", "modelId": "scripted", "name": "Made", "n_ctx": 512})");
    ASSERT_EQ(created.status, 200) << created.body;
    const json reply = bodyJson(created);
    EXPECT_EQ(reply["mivrelId"], "made");
    EXPECT_EQ(reply["status"], "created");
    EXPECT_EQ(reply["properties"]["name"], "Made");
    EXPECT_EQ(bodyJson(home_->get("/mgmt-api/mivrel/made/properties")),
              json({{"mivrelId", "made"}, {"properties", reply["properties"]}}));
    EXPECT_EQ(listEntry("made")["status"], "idle");
    EXPECT_EQ(bodyJson(action("made", "start"))["status"], "started");

    struct Case {
        std::string body;
        int status;
        std::string code;
    } refusals[] = {
        {"{", 400, "bad_request"},
        {"/* note */ {\"modelId\": \"scripted\"}", 400, "bad_request"},
        {"[1]", 400, "bad_request"},
        {R"({"mivrelId": "../up", "modelId": "scripted"})", 400, "bad_request"},
        {R"({"mivrelId": "x", "modelId": "scripted", "name": 5})", 400, "bad_request"},
        {R"({"mivrelId": "y", "modelId": "nosuchmodel", "name": "Y"})", 404, "model_not_found"},
        {R"({"mivrelId": "made", "modelId": "scripted", "name": "Again"})", 409, "mivrel_already_exists"},
    };
    for (const Case& c : refusals) {
        const HttpReply refused = home_->post("/mgmt-api/mivrelCreate", c.body);
        EXPECT_EQ(refused.status, c.status) << c.body << " -> " << refused.body;
        EXPECT_EQ(errorCode(refused), c.code) << c.body;
    }
    EXPECT_FALSE(std::filesystem::exists(home_->dir().file("mivrel/up")));
    EXPECT_EQ(errorMessage(home_->post("/mgmt-api/mivrelCreate", "")), "invalid JSON");
}

TEST_F(MgmtInstances, SettingsPatchRefusesWrongTypesAndValuesBeyondTheLimits) {
    struct Case {
        std::string id;
        std::string body;
        int status;
        std::string message;
    } cases[] = {
        {"life", "{", 400, "invalid JSON"},
        {"life", "", 400, "invalid JSON"},
        {"life", "[1]", 400, "request body must be a JSON object"},
        {"life", R"({"enable_storage_encryption": true})", 400,
         "enable_storage_encryption cannot be changed after the mivrel is created"},
        {"keep", R"({"enable_storage_encryption": false})", 400,
         "enable_storage_encryption cannot be changed after the mivrel is created"},
        {"life", R"({"enable_storage_encryption": "on"})", 400, "\"enable_storage_encryption\" must be a boolean"},
        {"life", R"({"truncate_storage_on_unload": "yes"})", 400, "\"truncate_storage_on_unload\" must be a boolean"},
        {"life", R"({"weights": "cpu"})", 400,
         "\"weights\" is only for IMAGE / VIDEO mivrels (LLM uses n_gpu_layers / offload_kv)"},
        {"life", R"({"n_ctx": "big"})", 400, "\"n_ctx\" must be an integer >= 512"},
        {"life", R"({"temperature": "hot"})", 400, "\"temperature\" must be a number"},
        {"life", R"({"name": 5})", 400, "\"name\" must be a string"},
        {"life", R"({"mivrelId": "other"})", 400, "\"mivrelId\" cannot be changed"},
        {"life", R"({"modelId": "../models"})", 400, "\"modelId\" is not a valid model id"},
        {"life", R"({"frames": "many"})", 400, "\"frames\" must be a number"},
        {"life", R"({"image_max_tokens": true})", 400, "\"image_max_tokens\" must be a number"},
        {"life", R"({"temporal_tiling": 1})", 400, "\"temporal_tiling\" must be a boolean"},
        {"life", R"({"voice": ["a", "b"]})", 400, "\"voice\" must be a string"},
        {"life", json({{"name", std::string(257, 'n')}}).dump(), 400, "\"name\" must be at most 256 bytes"},
        {"life", json({{"description", std::string(4097, 'd')}}).dump(), 400,
         "\"description\" must be at most 4096 bytes"},
        {"life", json({{"sampler", std::string(4097, 's')}}).dump(), 400, "\"sampler\" must be at most 4096 bytes"},
        {"life", json({{"notes", json::array({std::string(4097, 'x')})}}).dump(), 400,
         "\"notes\" must be at most 4096 bytes"},
        {"life", json({{"notes", json(std::vector<int>(1025, 1))}}).dump(), 400, "\"notes\" must hold at most 1024 items"},
        {"life", json({{std::string(129, 'k'), 1}}).dump(), 400, "member names must be at most 128 bytes"},
        {"nobody", R"({"name": "x"})", 404, "unknown mivrelId: nobody"},
        {"a/b", R"({"name": "x"})", 404, "unknown mivrelId: a/b"},
        {"..", R"({"name": "x"})", 404, "unknown mivrelId: .."},
    };
    const std::string before = readTextFile(home_->dir().file("mivrel/life/properties.json"));
    for (const Case& c : cases) {
        const HttpReply refused = home_->request("PATCH", "/mgmt-api/mivrel/" + c.id + "/properties", c.body);
        EXPECT_EQ(refused.status, c.status) << c.body << " -> " << refused.body;
        EXPECT_EQ(errorMessage(refused), c.message) << c.body;
    }
    EXPECT_EQ(readTextFile(home_->dir().file("mivrel/life/properties.json")), before) << "nothing refused was written";

    const HttpReply kept = home_->request("PATCH", "/mgmt-api/mivrel/keep/properties",
                                          R"({"enable_storage_encryption": true, "description": null})");
    ASSERT_EQ(kept.status, 200) << kept.body;
    EXPECT_EQ(kept.body, R"({"mivrelId":"keep","reloadRequired":true,"status":"updated"})");
    const json stored = json::parse(readTextFile(home_->dir().file("mivrel/keep/properties.json")));
    EXPECT_EQ(stored["enable_storage_encryption"], true);
    EXPECT_FALSE(stored.contains("description")) << "null deletes";

    // A settings file that does not parse is reported and never replaced.
    writeTextFile(home_->dir().file("mivrel/broken/properties.json"), "{ broken");
    const HttpReply unreadable = home_->get("/mgmt-api/mivrel/broken/properties");
    EXPECT_EQ(unreadable.status, 500);
    EXPECT_EQ(errorMessage(unreadable).rfind("failed to read properties.json: ", 0), 0u) << unreadable.body;
    EXPECT_EQ(home_->request("PATCH", "/mgmt-api/mivrel/broken/properties", R"({"name": "x"})").status, 500);
    EXPECT_EQ(readTextFile(home_->dir().file("mivrel/broken/properties.json")), "{ broken");
    EXPECT_EQ(listEntry("broken")["properties"], json({{"mivrelId", "broken"}, {"name", "broken"}}));
    EXPECT_EQ(home_->get("/mgmt-api/mivrel/nobody/properties").status, 404);
}

// Members the PATCH does not know are stored as they come (the engines read
// settings no other call sets), within the limits every stored document
// keeps; many small patches cannot add up past the document's bound.
TEST_F(MgmtInstances, SettingsPatchStoresOtherMembersWithinTheDocumentBound) {
    const json patch = {{"frames", 24},           {"fps", 12},          {"temporal_tiling", false},
                        {"image_max_tokens", 256}, {"colour", "red"},    {"notes", {{"a", json::array({1, 2})}}},
                        {"voice", "alba"}};
    const HttpReply stored = home_->request("PATCH", "/mgmt-api/mivrel/keep/properties", patch.dump());
    ASSERT_EQ(stored.status, 200) << stored.body;
    json document = json::parse(readTextFile(home_->dir().file("mivrel/keep/properties.json")));
    for (const auto& [key, value] : patch.items()) EXPECT_EQ(document[key], value) << key;
    EXPECT_EQ(bodyJson(home_->get("/mgmt-api/mivrel/keep/properties"))["properties"]["frames"], 24);

    // Each patch is small; together they would pass the bound.
    const std::string chunk(4000, 'c');
    int accepted = 0;
    HttpReply last;
    for (int i = 0; i < 40; ++i) {
        last = home_->request("PATCH", "/mgmt-api/mivrel/keep/properties",
                              json({{"note" + std::to_string(i), chunk}}).dump());
        if (last.status != 200) break;
        ++accepted;
    }
    EXPECT_EQ(last.status, 400) << "accepted " << accepted;
    EXPECT_EQ(errorMessage(last).rfind("properties.json would be ", 0), 0u) << last.body;
    EXPECT_NE(errorMessage(last).find("more than its limit of 65536 bytes"), std::string::npos) << last.body;
    EXPECT_LE(std::filesystem::file_size(home_->dir().file("mivrel/keep/properties.json")), 80u * 1024);
    json clean = json::object();
    for (int i = 0; i < accepted; ++i) clean["note" + std::to_string(i)] = nullptr;
    EXPECT_EQ(home_->request("PATCH", "/mgmt-api/mivrel/keep/properties", clean.dump()).status, 200);

}

TEST_F(MgmtInstances, StartChatResetReloadUnloadAndDelete) {
    expectError(action("life", "reset"), 409, "mivrel_not_running", "no running session: life", "reset unloaded");
    const HttpReply started = action("life", "start");
    EXPECT_EQ(started.body, R"({"actionTaken":true,"mivrelId":"life","status":"started"})");
    EXPECT_EQ(action("life", "start").body, R"({"actionTaken":false,"mivrelId":"life","status":"already_running"})");

    const HttpReply chat = home_->post("/v1/mivrel/life/messages", chatBody("c1", "Hi"));
    ASSERT_EQ(chat.status, 200) << chat.body;
    json entry = listEntry("life");
    EXPECT_EQ(entry["status"], "idle");
    EXPECT_EQ(entry["loaded"], true);
    EXPECT_EQ(entry["conversationId"], "c1");
    EXPECT_EQ(entry["generationIndex"], 1);
    EXPECT_GT(entry["contextUsed"].get<int>(), 0);
    EXPECT_EQ(entry["contextSize"], testmodels::kTrainedContext);
    EXPECT_TRUE(entry["startedAt"].is_number_integer());

    EXPECT_EQ(action("life", "reset").body, R"({"mivrelId":"life","status":"reset"})");
    entry = listEntry("life");
    EXPECT_EQ(entry["generationIndex"], 0);
    EXPECT_TRUE(entry["conversationId"].is_null());
    EXPECT_EQ(entry["contextUsed"], 0);

    // A changed setting takes effect after the reload.
    auto servedName = [] {
        const json status = bodyJson(home_->get("/mgmt-api/cli/status"));
        for (const json& item : status["inference"]["mivrels"]) {
            if (item["id"] == "life") return item["name"];
        }
        return json();
    };
    ASSERT_EQ(home_->request("PATCH", "/mgmt-api/mivrel/life/properties", R"({"name": "Renamed"})").status, 200);
    EXPECT_EQ(servedName(), "Name of life") << "the running configuration waits for the reload";
    EXPECT_EQ(action("life", "reload").body, R"({"mivrelId":"life","status":"reloaded"})");
    EXPECT_EQ(listEntry("life")["loaded"], false);
    EXPECT_EQ(servedName(), "Renamed");
    EXPECT_EQ(bodyJson(action("life", "start"))["status"], "started");
    EXPECT_EQ(home_->post("/v1/mivrel/life/messages", chatBody("c2", "Hi")).status, 200);

    EXPECT_EQ(action("life", "unload").body, R"({"actionTaken":true,"mivrelId":"life","status":"unloaded"})");
    EXPECT_EQ(action("life", "unload").body, R"({"actionTaken":false,"mivrelId":"life","status":"unloaded"})");
    EXPECT_EQ(action("life", "storage/reset").body, R"({"mivrelId":"life","status":"ok"})");
    EXPECT_EQ(eventTexts("life"), (std::vector<std::string>{"info Mivrel storage reset", "info Mivrel unloaded",
                                                            "info Mivrel started", "info Mivrel started"}));

    EXPECT_EQ(action("life", "delete").body, R"({"mivrelId":"life","status":"deleted"})");
    EXPECT_FALSE(std::filesystem::exists(home_->dir().file("mivrel/life")));
    EXPECT_TRUE(listEntry("life").is_null());
    for (const char* name : {"start", "stop", "unload", "reset", "reload", "storage/reset"}) {
        expectError(action("life", name), 404, "mivrel_not_found", "unknown mivrelId: life", name);
    }
    EXPECT_EQ(home_->post("/v1/mivrel/life/messages", chatBody("c3", "Hi")).status, 404);
    // Ids that cannot name an instance reach no file.
    for (const char* id : {"a/b", "..", "a\\b"}) {
        expectError(action(id, "delete"), 404, "mivrel_not_found", std::string("unknown mivrelId: ") + id, id);
    }
}

TEST_F(MgmtInstances, AFailedStartIsReportedAndLeavesTheInstanceIdle) {
    expectError(action("orphan", "start"), 500, "start_failed",
                "model not found: cannot find the model files in the model folder", "orphan start");
    EXPECT_EQ(listEntry("orphan")["status"], "idle");
    EXPECT_EQ(eventTexts("orphan"), std::vector<std::string>{"error Mivrel start failed"});
}

TEST_F(MgmtInstances, WhileAChatStreams) {
    ASSERT_EQ(bodyJson(action("busy", "start"))["status"], "started");
    OpenStream stream;
    ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/busy/messages", chatBody("b1", "tick~", {{"stream", true}})));
    ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();

    EXPECT_EQ(listEntry("busy")["status"], "running");
    EXPECT_EQ(bodyJson(action("busy", "start"))["status"], "already_running");
    expectError(action("busy", "reload"), 409, "mivrel_occupied", "Mivrel is currently in use.", "reload");
    expectError(action("busy", "reset"), 409, "mivrel_occupied", "Mivrel is currently in use and cannot be reset.",
                "reset");
    expectError(action("busy", "storage/reset"), 409, "mivrel_inferring",
                "Generation in progress; try again after it finishes.", "storage reset");
    expectError(action("busy", "delete"), 409, "mivrel_occupied", "Mivrel is currently in use and cannot be deleted.",
                "delete");
    EXPECT_TRUE(std::filesystem::exists(home_->dir().file("mivrel/busy/properties.json")));

    EXPECT_EQ(action("busy", "stop").body, R"({"mivrelId":"busy","status":"stopping"})");
    ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << stream.received();
    expectError(action("busy", "stop"), 409, "mivrel_not_running", "not generating: busy", "second stop");
    EXPECT_EQ(listEntry("busy")["status"], "idle");

    // Unload stops a running chat and waits for it.
    OpenStream second;
    ASSERT_TRUE(second.open(home_->port(), "/v1/mivrel/busy/messages", chatBody("b1", "tick~", {{"stream", true}})));
    ASSERT_TRUE(second.readUntil("event: message.delta")) << second.received();
    EXPECT_EQ(action("busy", "unload").body, R"({"actionTaken":true,"mivrelId":"busy","status":"unloaded"})");
    ASSERT_TRUE(second.readUntil("\r\n0\r\n\r\n")) << second.received();
    EXPECT_EQ(listEntry("busy")["loaded"], false);
    EXPECT_EQ(action("busy", "delete").status, 200);
}

// A reload starts from the configuration the instance has: a model it cannot
// find again leaves it on the model it had, so it still starts.
TEST(MgmtInstanceReload, AModelThatCannotBeFoundKeepsTheOneItHad) {
    InstanceHome home;
    home.addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addInstance("stay", "scripted");
    ASSERT_TRUE(home.start());
    const std::string registry = home.dir().file("models/models.json");
    const std::string properties = home.dir().file("mivrel/stay/properties.json");
    const std::string goodRegistry = readTextFile(registry);
    const json goodProperties = json::parse(readTextFile(properties));
    struct Case {
        const char* name;
        std::string registry;
        json modelId;
    } cases[] = {
        {"unreadable models.json", "{\"models\": [", "scripted"},
        {"no entry for the id", goodRegistry, "ghost"},
        {"empty modelId", goodRegistry, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeTextFile(registry, c.registry);
        json props = goodProperties;
        props["modelId"] = c.modelId;
        writeTextFile(properties, props.dump());
        EXPECT_EQ(home.post("/mgmt-api/mivrel/stay/reload", "").body, R"({"mivrelId":"stay","status":"reloaded"})");
        const HttpReply started = home.post("/mgmt-api/mivrel/stay/start", "");
        EXPECT_EQ(started.body, R"({"actionTaken":true,"mivrelId":"stay","status":"started"})");
        EXPECT_EQ(home.post("/v1/mivrel/stay/messages", chatBody("after-reload", "Hi")).status, 200);
        EXPECT_EQ(bodyJson(home.post("/mgmt-api/mivrel/stay/unload", ""))["actionTaken"], true);
    }
}

}  // namespace
