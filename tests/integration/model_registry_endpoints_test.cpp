// The model registry endpoints of the real brisvanesrv: the list with its
// derived status and sizes, local registration of a GGUF already on disk,
// properties read and merge-patched, showing the folder (with and without a
// desktop session), and deletion with the instances on the model.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "instance_home.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

json listed(const InstanceHome& home, const std::string& id) {
    // Keep the document alive for the loop: a member of a temporary is not.
    const json document = bodyJson(home.get("/mgmt-api/models"));
    for (const json& entry : document["models"]) {
        if (entry["modelId"] == id) return entry;
    }
    return nullptr;
}

json registryOf(const InstanceHome& home) {
    return json::parse(readTextFile(home.dir().file("models/models.json")), nullptr, false);
}

TEST(ModelRegistryEndpoints, RegisterLocalListAndProperties) {
    InstanceHome home;
    // A user's folder outside the models directory holding a kit model.
    const std::string userDir = home.dir().file("user-models");
    fs::create_directories(userDir);
    fs::copy_file(testModelPath(testmodels::kTinyChatFile), userDir + "/tiny.gguf");
    ASSERT_TRUE(home.start());

    const json request = {{"modelId", "local-tiny"}, {"name", "Tiny"}, {"filename", "tiny.gguf"}, {"storagePath", userDir}};
    HttpReply reply = home.post("/mgmt-api/models/registerLocal", request.dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply), json({{"modelId", "local-tiny"}, {"status", "registered"}}));

    const json entry = listed(home, "local-tiny");
    EXPECT_EQ(entry["status"], "downloaded");
    EXPECT_EQ(entry["format"], "gguf");
    EXPECT_EQ(entry["engineType"], "v1");
    EXPECT_EQ(entry["fileSize"], fs::file_size(userDir + "/tiny.gguf"));
    EXPECT_FALSE(entry.contains("downloading")) << "the view never shows the mark";
    EXPECT_EQ(registryOf(home)["models"][0]["downloading"], false);

    struct Refusal {
        json body;
        int status;
        const char* code;
        std::string message;
    };
    const Refusal refusals[] = {
        {request, 409, "model_already_exists", "modelId already registered: local-tiny"},
        {{{"modelId", "x"}, {"name", "X"}, {"filename", "none.gguf"}, {"storagePath", userDir}}, 400, "file_not_found",
         "file does not exist: " + userDir + "/none.gguf"},
        {{{"modelId", "x"}, {"name", "X"}, {"filename", "tiny.gguf"}}, 400, "bad_request",
         "modelId / name / filename / storagePath are required."},
        {{{"modelId", 5}, {"name", "X"}, {"filename", "tiny.gguf"}, {"storagePath", userDir}}, 400, "bad_request",
         "modelId / name / filename / storagePath are required."},
        {{{"modelId", "../escape"}, {"name", "X"}, {"filename", "tiny.gguf"}, {"storagePath", userDir}}, 400,
         "bad_request", "invalid modelId: ../escape"},
        // models.json is rewritten whole by every model operation: its texts
        // keep the limits of every stored document.
        {{{"modelId", "x"}, {"name", std::string(300, 'n')}, {"filename", "tiny.gguf"}, {"storagePath", userDir}}, 400,
         "bad_request", "\"name\" must be at most 256 bytes"},
        {{{"modelId", "x"}, {"name", "X"}, {"filename", "tiny.gguf"}, {"storagePath", userDir},
          {"format", std::string(5000, 'f')}},
         400, "bad_request", "\"format\" must be at most 4096 bytes"},
    };
    for (const Refusal& r : refusals) {
        reply = home.post("/mgmt-api/models/registerLocal", r.body.dump());
        EXPECT_EQ(reply.status, r.status) << r.body;
        EXPECT_EQ(errorCode(reply), r.code) << r.body;
        EXPECT_EQ(errorMessage(reply), r.message) << r.body;
    }
    reply = home.post("/mgmt-api/models/registerLocal", "{nope");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(errorMessage(reply), "invalid JSON");

    // No properties.json yet: reading fails until a PATCH makes one.
    reply = home.get("/mgmt-api/models/local-tiny/properties");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(errorMessage(reply).rfind("failed to read properties.json: ", 0), 0u) << reply.body;

    reply = home.request("PATCH", "/mgmt-api/models/local-tiny/properties",
                         R"({"assembler": "qwen3", "genDefaults": {"temperature": 0.5, "top_k": 7}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply)["status"], "updated");
    reply = home.request("PATCH", "/mgmt-api/models/local-tiny/properties", R"({"genDefaults": {"temperature": null}})");
    EXPECT_EQ(bodyJson(reply)["properties"], json::parse(R"({"assembler": "qwen3", "genDefaults": {"top_k": 7}})"));
    reply = home.get("/mgmt-api/models/local-tiny/properties");
    EXPECT_EQ(bodyJson(reply), json::parse(R"({"modelId": "local-tiny", "properties": {"assembler": "qwen3", "genDefaults": {"top_k": 7}}})"));
    EXPECT_EQ(json::parse(readTextFile(userDir + "/properties.json"))["genDefaults"], json({{"top_k", 7}}));
    reply = home.request("PATCH", "/mgmt-api/models/local-tiny/properties",
                         json({{"genDefaults", {{"stop", json(std::vector<int>(1025, 1))}}}}).dump());
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_EQ(errorMessage(reply), "\"stop\" must hold at most 1024 items");
    reply = home.request("PATCH", "/mgmt-api/models/local-tiny/properties", "[1, 2]");
    EXPECT_EQ(bodyJson(reply)["properties"], json::array({1, 2})) << "a patch that is not an object replaces";

    // A damaged properties.json is reported, not overwritten by a patch.
    writeTextFile(userDir + "/properties.json", "{\"assembler\": ");
    reply = home.request("PATCH", "/mgmt-api/models/local-tiny/properties", R"({"a": 1})");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(readTextFile(userDir + "/properties.json"), "{\"assembler\": ");

    for (const char* target : {"/mgmt-api/models/nobody/properties"}) {
        EXPECT_EQ(errorCode(home.get(target)), "model_not_found");
        EXPECT_EQ(errorCode(home.request("PATCH", target, "{}")), "model_not_found");
    }
}

// A single file registered as a GGUF model must begin with the GGUF magic
// bytes; anything else would fail only at the first chat. A folder (a model of
// several files) and another format keep the plain existence rule.
TEST(ModelRegistryEndpoints, RegisterLocalRefusesFilesThatAreNotGguf) {
    InstanceHome home;
    const std::string userDir = home.dir().file("user-models");
    fs::create_directories(userDir + "/multi");
    writeTextFile(userDir + "/README.md", "# My model\n");
    writeTextFile(userDir + "/empty.gguf", "");
    writeTextFile(userDir + "/short.gguf", "GGU");
    writeTextFile(userDir + "/lower.gguf", "gguf and more");
    writeTextFile(userDir + "/weights.bin", "not a gguf");
    fs::copy_file(testModelPath(testmodels::kTinyChatFile), userDir + "/tiny.gguf");
    ASSERT_EQ(::mkfifo((userDir + "/pipe.gguf").c_str(), 0600), 0);
    ASSERT_TRUE(home.start());

    struct Case {
        const char* filename;
        const char* format;  // nullptr: not sent (the default "gguf")
        int status;
    } cases[] = {
        {"README.md", nullptr, 400},  {"empty.gguf", nullptr, 400},   {"short.gguf", nullptr, 400},
        {"lower.gguf", nullptr, 400}, {"pipe.gguf", nullptr, 400},    {"weights.bin", "GGUF", 400},
        {"tiny.gguf", nullptr, 200},  {"tiny.gguf", "gguf", 200},     {"multi", nullptr, 200},
        {"weights.bin", "safetensors", 200},
    };
    int k = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filename);
        json body = {{"modelId", "m" + std::to_string(++k)}, {"name", "M"}, {"filename", c.filename},
                     {"storagePath", userDir}};
        if (c.format) body["format"] = c.format;
        const HttpReply reply = home.post("/mgmt-api/models/registerLocal", body.dump());
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (c.status == 400) {
            EXPECT_EQ(errorCode(reply), "not_a_gguf_model");
            EXPECT_EQ(errorMessage(reply), "not a GGUF model: " + userDir + "/" + c.filename +
                                               " does not begin with the GGUF magic bytes");
            EXPECT_TRUE(listed(home, body["modelId"].get<std::string>()).is_null()) << "nothing was registered";
        } else {
            EXPECT_EQ(listed(home, body["modelId"].get<std::string>())["status"], "downloaded");
        }
    }
}

TEST(ModelRegistryEndpoints, ListStatusAndSizes) {
    InstanceHome home;
    home.addModel("pair", "main.gguf", testmodels::kTinyChatFile,
                  {{"files", {{"model", "main.gguf"}, {"mmproj", "proj.gguf"}, {"odd", 5}}}});
    home.linkModelFile("pair", "proj.gguf", testmodels::kProjectorFile);
    home.addModel("plain", "main.gguf", testmodels::kTinyChatFile, {{"files", json::object()}});
    home.addModel("ghost", "ghost.gguf", "");
    ASSERT_TRUE(home.start());
    // Hand-edited entries: the text "null" and a running mark.
    json registry = registryOf(home);
    registry["models"].push_back({{"modelId", "nulled"}, {"downloadedAt", "null"}});
    registry["models"].push_back({{"modelId", "busy"}, {"downloadedAt", "2026-01-01T00:00:00Z"}, {"downloading", true}});
    writeTextFile(home.dir().file("models/models.json"), registry.dump());

    const uint64_t tiny = fs::file_size(testModelPath(testmodels::kTinyChatFile));
    const uint64_t projector = fs::file_size(testModelPath(testmodels::kProjectorFile));
    EXPECT_EQ(listed(home, "pair")["fileSize"], tiny + projector) << "the files map counts, filename does not";
    EXPECT_EQ(listed(home, "plain")["fileSize"], tiny) << "an empty files map falls back to filename";
    EXPECT_EQ(listed(home, "ghost")["fileSize"], 0);
    EXPECT_EQ(listed(home, "nulled")["status"], "not_downloaded");
    EXPECT_EQ(listed(home, "nulled")["fileSize"], 0) << "no folder";
    EXPECT_EQ(listed(home, "busy")["status"], "downloading");
    EXPECT_EQ(errorCode(home.get("/mgmt-api/models/nulled/properties")), "model_not_found") << "no folder";
}

TEST(ModelRegistryEndpoints, DamagedRegistryIsNeverReplaced) {
    InstanceHome home;
    ASSERT_TRUE(home.start());
    const std::string path = home.dir().file("models/models.json");
    const std::string damaged = "{\"models\": [ {\"modelId\": \"kept\"";
    writeTextFile(path, damaged);
    fs::create_directories(home.dir().file("user"));
    writeTextFile(home.dir().file("user/m.gguf"), "GGUF");

    HttpReply reply = home.get("/mgmt-api/models");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(errorCode(reply), "internal_error");
    reply = home.post("/mgmt-api/models/registerLocal",
                      json({{"modelId", "new"}, {"name", "N"}, {"filename", "m.gguf"}, {"storagePath", home.dir().file("user")}}).dump());
    EXPECT_EQ(reply.status, 500) << reply.body;
    EXPECT_EQ(readTextFile(path), damaged) << "the registry was rewritten";
    EXPECT_EQ(home.post("/mgmt-api/models/kept/delete", "").status, 500);
    EXPECT_EQ(readTextFile(path), damaged);
}

TEST(ModelRegistryEndpoints, DeleteRemovesOnlyInstancesOfThatModel) {
    InstanceHome home;
    home.addModel("m1", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addModel("m10", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addInstance("on-m1", "m1");
    home.addInstance("on-m10", "m10");
    // A registration of the user's own folder: the registry forgets it, the
    // files stay.
    const std::string userDir = home.dir().file("user-models");
    fs::create_directories(userDir);
    writeTextFile(userDir + "/u.gguf", "GGUF");
    ASSERT_TRUE(home.start());
    ASSERT_EQ(home.post("/mgmt-api/mivrel/on-m1/start", "").status, 200) << "a loaded instance is deleted too";
    ASSERT_EQ(home.post("/mgmt-api/models/registerLocal",
                        json({{"modelId", "mine"}, {"name", "Mine"}, {"filename", "u.gguf"}, {"storagePath", userDir}}).dump())
                  .status,
              200);

    HttpReply reply = home.post("/mgmt-api/models/m1/delete", "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply), json({{"modelId", "m1"}, {"status", "deleted"}}));
    EXPECT_FALSE(fs::exists(home.dir().file("models/m1")));
    EXPECT_TRUE(fs::exists(home.dir().file("models/m10/scripted.gguf")));
    EXPECT_EQ(home.get("/mgmt-api/mivrel/on-m1/properties").status, 404);
    EXPECT_FALSE(fs::exists(home.dir().file("mivrel/on-m1")));
    EXPECT_EQ(home.get("/mgmt-api/mivrel/on-m10/properties").status, 200) << "m10 contains m1 but is another model";
    EXPECT_TRUE(listed(home, "m1").is_null());
    EXPECT_FALSE(listed(home, "m10").is_null());
    EXPECT_EQ(errorCode(home.post("/mgmt-api/models/m1/delete", "")), "model_not_found");

    ASSERT_EQ(home.post("/mgmt-api/models/mine/delete", "").status, 200);
    EXPECT_TRUE(listed(home, "mine").is_null());
    EXPECT_TRUE(fs::exists(userDir + "/u.gguf")) << "a folder outside the models directory is the user's";
}

TEST(ModelRegistryEndpoints, OpenFolder) {
    InstanceHome home;
    home.addModel("here", "m.gguf", "");
    // An opener that records its arguments stands in for the desktop's.
    const std::string bin = home.dir().file("bin");
    fs::create_directories(bin);
    const std::string record = home.dir().file("opened.txt");
    writeTextFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s|' \"$@\" > '" + record + "'\n");
    ::chmod((bin + "/xdg-open").c_str(), 0755);

    {
        ASSERT_TRUE(home.start({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}}));
        const HttpReply reply = home.post("/mgmt-api/models/here/openFolder", "");
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(errorCode(reply), "open_failed");
        EXPECT_EQ(errorMessage(reply), "failed to open Explorer (code: 31)") << "no desktop session";
        EXPECT_EQ(home.process().stop(), 0);
    }
    const char* path = std::getenv("PATH");
    ASSERT_TRUE(home.start({{"DISPLAY", ":77"}, {"PATH", bin + ":" + (path ? path : "/usr/bin:/bin")}}));
    const std::string folder = fs::canonical(home.dir().file("models/here")).string();
    HttpReply reply = home.post("/mgmt-api/models/here/openFolder", "");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(bodyJson(reply), json({{"ok", true}, {"path", folder}}));
    for (int i = 0; i < 100 && readTextFile(record).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(readTextFile(record), folder + "|") << "one argument, no shell";

    // A folder that is gone opens the models directory.
    fs::remove_all(home.dir().file("models/here"));
    json registry = registryOf(home);
    registry["models"][0]["storagePath"] = home.dir().file("elsewhere");
    writeTextFile(home.dir().file("models/models.json"), registry.dump());
    reply = home.post("/mgmt-api/models/here/openFolder", "");
    EXPECT_EQ(bodyJson(reply)["path"], fs::canonical(home.dir().file("models")).string());
    EXPECT_EQ(errorCode(home.post("/mgmt-api/models/nobody/openFolder", "")), "model_not_found");
}

// A hand-edited models.json whose id would lead out of the models folder:
// no endpoint joins it to a folder, and no instance starts on it.
TEST(ModelRegistryEndpoints, IdsThatBreakTheIdRuleNameNoFolder) {
    InstanceHome home;
    // "models/../decoy" is the folder "decoy" beside the models folder.
    home.addModel("../decoy", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
    home.addInstance("lured", "../decoy");
    ASSERT_TRUE(home.start());
    const std::string decoyProperties = home.dir().file("decoy/properties.json");
    const std::string before = readTextFile(decoyProperties);
    ASSERT_FALSE(before.empty());

    const std::pair<std::string, std::string> requests[] = {
        {"GET", "/mgmt-api/models/../decoy/properties"},
        {"PATCH", "/mgmt-api/models/../decoy/properties"},
        {"POST", "/mgmt-api/models/../decoy/openFolder"},
        {"POST", "/mgmt-api/models/../decoy/refreshCatalog"},
        {"POST", "/mgmt-api/models/../decoy/delete"},
    };
    for (const auto& [method, target] : requests) {
        const HttpReply reply = home.request(method, target, method == "PATCH" ? R"({"planted": true})" : "");
        EXPECT_EQ(reply.status, 404) << method << " " << target << ": " << reply.body;
        EXPECT_EQ(errorCode(reply), "model_not_found") << method << " " << target;
        EXPECT_EQ(errorMessage(reply), "unknown modelId: ../decoy") << method << " " << target;
    }
    EXPECT_EQ(readTextFile(decoyProperties), before) << "nothing written beside the models folder";
    EXPECT_TRUE(fs::exists(home.dir().file("decoy/scripted.gguf"))) << "nothing deleted there";
    EXPECT_FALSE(listed(home, "../decoy").is_null()) << "the entry stays listed";
    EXPECT_EQ(listed(home, "../decoy")["fileSize"], 0) << "no folder, no size";

    const HttpReply started = home.post("/mgmt-api/mivrel/lured/start", "");
    EXPECT_EQ(started.status, 500) << started.body;
    EXPECT_EQ(errorCode(started), "start_failed");
    EXPECT_EQ(errorMessage(started), "model not found: cannot find the model files in the model folder");
}

}  // namespace

// The model registry as a whole stays bounded: a registration that would
// take models.json past its limit is refused and the file kept as it was.
TEST(ModelRegistryEndpoints, RegistryFileStaysWithinItsBound) {
    InstanceHome home;
    const std::string userDir = home.dir().file("user-models");
    fs::create_directories(userDir);
    fs::copy_file(testModelPath(testmodels::kTinyChatFile), userDir + "/tiny.gguf");
    // A registry close to its limit, as many registrations would leave it.
    json registry = {{"models", json::array()}};
    size_t size = 0;
    for (int i = 0; size < (8u << 20) - 3000; ++i) {
        json entry = {{"modelId", "m" + std::to_string(i)}, {"name", "M"}, {"filename", "m.gguf"},
                      {"storagePath", std::string(3000, 'p')}, {"downloadedAt", "2026-01-01T00:00:00Z"}};
        size += entry.dump().size() + 1;
        registry["models"].push_back(std::move(entry));
    }
    writeTextFile(home.dir().file("models/models.json"), registry.dump());
    ASSERT_TRUE(home.start());
    const std::string before = readTextFile(home.dir().file("models/models.json"));

    const json request = {{"modelId", "late"}, {"name", "Late"}, {"filename", "tiny.gguf"}, {"storagePath", userDir},
                          {"format", std::string(4000, 'f')}};
    const HttpReply reply = home.post("/mgmt-api/models/registerLocal", request.dump());
    EXPECT_EQ(reply.status, 400) << reply.body.substr(0, 300);
    EXPECT_EQ(errorMessage(reply).rfind("models.json would be ", 0), 0u) << reply.body.substr(0, 300);
    EXPECT_EQ(readTextFile(home.dir().file("models/models.json")), before);
}
