// The instance list, creation, status and model information endpoints of the
// real brisvanesrv, on a home with the kit's models.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "instance_home.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using nlohmann::json;

class InstanceEndpoints : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_->addModel("ghost", "ghost.gguf", "");
        home_->addModel("multi", "main.gguf", testmodels::kTinyChatFile,
                        {{"n_ctx_size", 2048},
                         {"files",
                          {{"model", "main.gguf"},
                           {"mmproj", "proj.GGUF"},
                           {"gone", "missing.gguf"},
                           {"escape", "../scripted/scripted.gguf"},
                           {"count", 5}}}});
        home_->linkModelFile("multi", "proj.GGUF", testmodels::kProjectorFile);
        home_->addModel("pics", "pics.bin", "", {{"familyType", "IMAGE"}});
        home_->addInstance("b1", "ghost");
        home_->addInstance("a1", "scripted");
        home_->addInstance("m1", "multi");
        home_->addInstance("img", "pics");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> InstanceEndpoints::home_;

TEST_F(InstanceEndpoints, ListThroughBothPaths) {
    const HttpReply list = home_->get("/v1/mivrels");
    ASSERT_EQ(list.status, 200) << list.body;
    EXPECT_EQ(list.header("Content-Type"), "application/json");
    EXPECT_EQ(list.body.rfind("{\n  \"mivrels\": [\n    {\n", 0), 0u) << "two-space indent: " << list.body;
    EXPECT_EQ(home_->get("/v1/mivrelList").body, list.body);

    const json body = bodyJson(list);
    std::vector<std::string> ids;
    for (const json& summary : body["mivrels"]) ids.push_back(summary["mivrelId"]);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(ids.begin(), ids.begin() + 2), (std::vector<std::string>{"a1", "b1"}));

    const json& a1 = body["mivrels"][0];
    EXPECT_EQ(a1["name"], "Name of a1");
    EXPECT_EQ(a1["description"], "About a1");
    EXPECT_EQ(a1["modelName"], "Model scripted");
    EXPECT_EQ(a1["contextSize"], 512);
    EXPECT_EQ(a1["status"], "ready");
    EXPECT_EQ(a1["modelSizeBytes"], std::filesystem::file_size(testModelPath(testmodels::kScriptedChatFile)));
    EXPECT_TRUE(a1["capabilities"].is_object());
    EXPECT_EQ(body["mivrels"][1]["modelSizeBytes"], 0) << "a missing model file counts 0";
    EXPECT_TRUE(keysInOrder(list.body, {"capabilities", "contextSize", "description", "mivrelId", "modelName",
                                        "modelSizeBytes", "name", "status"}));
}

TEST_F(InstanceEndpoints, CreateWithAndWithoutId) {
    const std::regex generated("mivrel-[0-9a-f]{12}");
    for (const std::string& body : {std::string(R"({"name": "N", "modelId": "scripted"})"),
                                    std::string(R"({"mivrelId": "", "name": "N", "modelId": "scripted"})")}) {
        const HttpReply created = home_->post("/v1/mivrel", body);
        ASSERT_EQ(created.status, 201) << created.body;
        EXPECT_EQ(created.reason, "OK");
        const json reply = bodyJson(created);
        const std::string id = reply["mivrelId"];
        EXPECT_TRUE(std::regex_match(id, generated)) << id;
        EXPECT_EQ(reply, (json{{"description", ""}, {"mivrelId", id}, {"name", "N"}, {"status", "idle"}}));
        EXPECT_EQ(home_->get("/v1/mivrel/" + id + "/status").status, 200) << "registered at once";
    }

    const std::string named = R"({"mivrelId": "c1", "name": "Named", "description": "D", "modelId": "scripted"})";
    const HttpReply first = home_->post("/v1/mivrel", named);
    ASSERT_EQ(first.status, 201) << first.body;
    EXPECT_EQ(first.body,
              "{\n  \"description\": \"D\",\n  \"mivrelId\": \"c1\",\n  \"name\": \"Named\",\n  \"status\": \"idle\"\n}");
    const HttpReply again = home_->post("/v1/mivrel", named);
    EXPECT_EQ(again.status, 409);
    EXPECT_EQ(bodyJson(again)["error"]["code"], "mivrel_already_exists");
    EXPECT_TRUE(json::parse(readTextFile(home_->dir().file("mivrel/mivrel.json"))).dump().find("\"c1\"") !=
                std::string::npos);
}

TEST_F(InstanceEndpoints, CreateRefusals) {
    struct Case {
        const char* body;
        int status;
        const char* code;
        const char* message;  // "" when only the code is checked
    };
    const Case cases[] = {
        {"", 400, "bad_request", "invalid JSON"},
        {"{\"name\": \"N\", // note\n \"modelId\": \"scripted\"}", 400, "bad_request", "invalid JSON"},
        {"[]", 400, "bad_request", "request body must be a JSON object"},
        {"\"text\"", 400, "bad_request", "request body must be a JSON object"},
        {R"({"mivrelId": 5, "name": "N", "modelId": "scripted"})", 400, "bad_request",
         "\"mivrelId\" must be a string"},
        {R"({"name": 7, "modelId": "scripted"})", 400, "bad_request", ""},
        {R"({"name": "N", "modelId": "scripted", "n_ctx": "big"})", 400, "bad_request", ""},
        {"null", 400, "bad_request", ""},
        {R"({"name": "N", "modelId": "nope"})", 404, "model_not_found", ""},
        {R"({"mivrelId": "../x", "name": "N", "modelId": "scripted"})", 400, "bad_request", ""},
    };
    for (const Case& c : cases) {
        const HttpReply reply = home_->post("/v1/mivrel", c.body);
        EXPECT_EQ(reply.status, c.status) << c.body << " -> " << reply.body;
        const json error = bodyJson(reply)["error"];
        EXPECT_EQ(error["code"], c.code) << c.body;
        EXPECT_EQ(error["httpStatus"], c.status) << c.body;
        if (*c.message) {
            EXPECT_EQ(error["message"], c.message) << c.body;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(home_->dir().file("x"))) << "nothing written outside the instances";
}

TEST_F(InstanceEndpoints, StatusOfANeverLoadedInstance) {
    const HttpReply reply = home_->get("/v1/mivrel/a1/status");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    json status = bodyJson(reply);
    ASSERT_TRUE(status["release"].is_object());
    status.erase("release");
    EXPECT_EQ(status, (json{{"mivrelId", "a1"},
                            {"status", "idle"},
                            {"conversationId", nullptr},
                            {"last_response_id", nullptr},
                            {"loaded", false},
                            {"totalOutputTokens", 0},
                            {"sessionOutputTokens", 0},
                            {"currentOutputTokens", 0},
                            {"lastOutputTokens", 0},
                            {"context_size", 0},
                            {"context_used", 0},
                            {"context_remain", 0},
                            {"context_used_pct", 0},
                            {"kv_cache_bytes", 0}}));
    EXPECT_EQ(reply.body.rfind("{\n  \"context_remain\": 0,", 0), 0u) << "sorted, two-space indent";

    for (const char* path : {"/v1/mivrel/zz/status", "/v1/mivrel/zz/modelInfo"}) {
        const HttpReply missing = home_->get(path);
        EXPECT_EQ(missing.status, 404);
        EXPECT_EQ(missing.reason, "Not Found");
        EXPECT_EQ(missing.body,
                  "{\"error\":{\"code\":\"mivrel_not_found\",\"httpStatus\":404,\"message\":\"Mivrel not found: zz\"}}");
    }
}

TEST_F(InstanceEndpoints, ModelInfoSummaryAndSelectedKeys) {
    const HttpReply reply = home_->get("/v1/mivrel/a1/modelInfo");
    ASSERT_EQ(reply.status, 200) << reply.body;
    const json info = bodyJson(reply);
    EXPECT_TRUE(keysInOrder(reply.body, {"mivrelId", "modelId", "model", "familyType", "assembler", "capabilities",
                                         "is_loaded", "files"}))
        << reply.body;
    EXPECT_EQ(info["mivrelId"], "a1");
    EXPECT_EQ(info["modelId"], "scripted");
    EXPECT_EQ(info["model"], "Model scripted");
    EXPECT_EQ(info["familyType"], "LLM");
    EXPECT_EQ(info["assembler"], "qwen3");
    EXPECT_EQ(info["is_loaded"], false);
    EXPECT_FALSE(info.contains("n_ctx_size"));
    ASSERT_EQ(info["files"].size(), 1u);
    const json& file = info["files"][0];
    EXPECT_TRUE(keysInOrder(reply.body, {"role", "filename", "format", "size_bytes", "summary"}));
    EXPECT_EQ(file["role"], "model");
    EXPECT_EQ(file["filename"], "scripted.gguf");
    EXPECT_EQ(file["format"], "gguf");
    EXPECT_EQ(file["size_bytes"], std::filesystem::file_size(testModelPath(testmodels::kScriptedChatFile)));
    EXPECT_EQ(file["summary"]["architecture"], "llama");
    EXPECT_EQ(file["summary"]["context_length"], testmodels::kTrainedContext);
    EXPECT_EQ(file["summary"]["block_count"], testmodels::kBlockCount);

    const json picked = bodyJson(home_->get("/v1/mivrel/a1/modelInfo?x=1&keys=general.architecture%2C%20llama.block_count"));
    EXPECT_EQ(picked["files"][0]["metadata"],
              (json{{"general.architecture", "llama"}, {"llama.block_count", testmodels::kBlockCount}}));
    EXPECT_FALSE(picked["files"][0].contains("summary"));

    const json all = bodyJson(home_->get("/v1/mivrel/a1/modelInfo?keys=*"));
    const json& metadata = all["files"][0]["metadata"];
    EXPECT_EQ(metadata["general.architecture"], "llama");
    EXPECT_EQ(metadata["tokenizer.ggml.model"], "gpt2");
    EXPECT_EQ(metadata["tokenizer.ggml.tokens"]["count"], testmodels::kVocabSize) << "long arrays summarised";

    EXPECT_EQ(bodyJson(home_->get("/v1/mivrel/a1/modelInfo?keys="))["files"][0].contains("summary"), true)
        << "an empty list asks for the summary";
}

TEST_F(InstanceEndpoints, ModelInfoFilesFromTheModelProperties) {
    const HttpReply reply = home_->get("/v1/mivrel/m1/modelInfo");
    ASSERT_EQ(reply.status, 200) << reply.body;
    const json info = bodyJson(reply);
    EXPECT_EQ(info["n_ctx_size"], 2048);
    const json& files = info["files"];
    ASSERT_EQ(files.size(), 4u) << files.dump(2);
    EXPECT_EQ(files[0], (json{{"role", "escape"}, {"filename", "../scripted/scripted.gguf"}, {"format", "gguf"},
                              {"error", "invalid file name"}}))
        << "a name that leaves the model folder is never looked up";
    EXPECT_EQ(files[1], (json{{"role", "gone"}, {"filename", "missing.gguf"}, {"format", "gguf"},
                              {"error", "file not found"}}));
    EXPECT_EQ(files[2]["role"], "mmproj");
    EXPECT_EQ(files[2]["filename"], "proj.GGUF");
    EXPECT_EQ(files[2]["format"], "gguf") << "lower case";
    EXPECT_EQ(files[2]["summary"]["architecture"], "clip");
    EXPECT_EQ(files[3]["role"], "model");
    EXPECT_EQ(files[3]["summary"]["architecture"], "llama");

    const json ghost = bodyJson(home_->get("/v1/mivrel/b1/modelInfo"));
    EXPECT_EQ(ghost["files"], (json::array({{{"role", "model"}, {"filename", "ghost.gguf"}, {"format", "gguf"},
                                             {"error", "file not found"}}})));

    const json image = bodyJson(home_->get("/v1/mivrel/img/modelInfo"));
    EXPECT_EQ(image["familyType"], "IMAGE");
    EXPECT_FALSE(image.contains("assembler"));
    EXPECT_EQ(image["files"][0]["format"], "bin");
    EXPECT_FALSE(image["files"][0].contains("summary")) << "only GGUF files are read";
}

}  // namespace
