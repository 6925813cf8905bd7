// The control endpoints (reset, stop, unload, switch-conversation, tokenize)
// and raw prompt streaming of the real brisvanesrv on the kit's scripted
// model, including what they do while a generation runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

constexpr char kEndless[] = R"({"rawPrompt": "tick~\n"})";
constexpr char kSplitEuro[] = R"({"rawPrompt": "Cost$\n"})";

class InstanceControl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        home_->addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        home_->addModel("pics", "pics.bin", "", {{"familyType", "IMAGE"}});
        home_->addInstance("tok", "scripted");
        home_->addInstance("ctl", "scripted");
        home_->addInstance("run", "scripted");
        home_->addInstance("raw", "scripted");
        home_->addInstance("conv", "scripted");
        home_->addInstance("temp", "scripted", {{"truncate_storage_on_unload", true}});
        home_->addInstance("img", "pics");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    static json status(const std::string& id) { return bodyJson(home_->get("/v1/mivrel/" + id + "/status")); }
    static HttpReply post(const std::string& id, const std::string& action, const std::string& body) {
        return home_->post("/v1/mivrel/" + id + "/" + action, body);
    }
    static void expectOk(const HttpReply& reply, const std::string& message, const std::string& id) {
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        EXPECT_EQ(reply.body, "{\n  \"message\": \"" + message + "\",\n  \"mivrelId\": \"" + id +
                                  "\",\n  \"ok\": true\n}");
    }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> InstanceControl::home_;

TEST_F(InstanceControl, TokenizeWithAndWithoutAutoLoad) {
    const HttpReply refused = post("tok", "tokenize", R"({"text": "Hi"})");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(errorCode(refused), "mivrel_not_running");
    EXPECT_EQ(errorMessage(refused), "Mivrel is not loaded: tok (pass options.autoLoad=true to load automatically)");
    EXPECT_EQ(status("tok")["loaded"], false) << "nothing loaded by a refused request";

    const HttpReply loaded = post("tok", "tokenize", R"({"text": "Hi<|im_start|>", "options": {"autoLoad": true}})");
    ASSERT_EQ(loaded.status, 200) << loaded.body;
    const json reply = bodyJson(loaded);
    EXPECT_EQ(reply["mivrelId"], "tok");
    const std::vector<int32_t> tokens = reply["tokens"];
    EXPECT_EQ(reply["count"], tokens.size());
    ASSERT_GE(tokens.size(), 3u);
    EXPECT_EQ(std::vector<int32_t>(tokens.end() - 3, tokens.end()),
              (std::vector<int32_t>{'H', 'i', testmodels::kImStart}))
        << "special tokens recognised";

    const json after = status("tok");
    EXPECT_EQ(after["loaded"], true);
    EXPECT_EQ(after["status"], "idle");
    EXPECT_EQ(after["context_size"], testmodels::kTrainedContext) << "held to the model's trained context";
    EXPECT_TRUE(after["sampling"].is_object()) << after.dump();
    EXPECT_EQ(bodyJson(post("tok", "tokenize", R"({"text": "Hi"})"))["count"], tokens.size() - 1)
        << "a loaded instance needs no autoLoad";
}

TEST_F(InstanceControl, TokenizeRefusals) {
    struct Case {
        const char* id;
        const char* body;
        int status;
        const char* code;
        const char* message;
    };
    const Case cases[] = {
        {"tok", "", 400, "bad_request", "Invalid JSON"},
        {"tok", "{\"text\": ", 400, "bad_request", "Invalid JSON"},
        {"tok", R"({"text": 5})", 400, "bad_request", "Missing required field: text"},
        {"tok", "[\"text\"]", 400, "bad_request", "Missing required field: text"},
        {"tok", R"({"text": "a", "options": {"autoLoad": "yes"}})", 400, "bad_request",
         "\"options.autoLoad\" must be a boolean"},
        {"img", R"({"text": "a"})", 400, "unsupported_mivrel_type",
         "tokenize is not supported by Mivrel 'img' (familyType=IMAGE, supported: LLM/DECISION/AUDIO)"},
        {"zz", R"({"text": "a"})", 404, "mivrel_not_found", "Mivrel not found: zz"},
    };
    for (const Case& c : cases) {
        const HttpReply reply = post(c.id, "tokenize", c.body);
        EXPECT_EQ(reply.status, c.status) << c.body << " -> " << reply.body;
        EXPECT_EQ(errorCode(reply), c.code) << c.body;
        EXPECT_EQ(errorMessage(reply), c.message) << c.body;
    }
}

// A text whose bytes cannot fit the context, whatever the tokens, is refused
// before it is tokenized, and the instance is free again at once.
TEST_F(InstanceControl, TextsBeyondTheContextAreRefusedBeforeTokenizing) {
    const std::string big(1 << 20, 'a');
    const std::string tooLong = " is too long for the context: 1048576 bytes cannot fit " +
                                std::to_string(testmodels::kTrainedContext) + " tokens";
    const struct {
        const char* id;
        const char* action;
        std::string body;
        std::string message;
    } cases[] = {
        {"tok", "tokenize", json{{"text", big}, {"options", {{"autoLoad", true}}}}.dump(), "\"text\"" + tooLong},
        {"raw", "rawPromptStream", json{{"rawPrompt", big}}.dump(), "\"rawPrompt\"" + tooLong},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        const HttpReply reply = post(c.id, c.action, c.body);
        EXPECT_EQ(reply.status, 400) << reply.body.substr(0, 200);
        EXPECT_EQ(errorCode(reply), "bad_request");
        EXPECT_EQ(errorMessage(reply), c.message);
        EXPECT_EQ(status(c.id)["status"], "idle");
    }
    // A text that may fit is still tokenized.
    const HttpReply fits = post("tok", "tokenize", json{{"text", std::string(200, 'a')}}.dump());
    ASSERT_EQ(fits.status, 200) << fits.body.substr(0, 200);
    EXPECT_EQ(bodyJson(fits)["count"].get<size_t>(), 200u);
}

TEST_F(InstanceControl, ResetStopAndUnloadOfAnIdleInstance) {
    const HttpReply notLoaded = post("ctl", "reset", "");
    EXPECT_EQ(notLoaded.status, 409);
    EXPECT_EQ(errorMessage(notLoaded), "Mivrel is not loaded: ctl");
    EXPECT_EQ(errorCode(post("img", "reset", "")), "unsupported_mivrel_type");

    // A generation fills the context; reset empties it.
    const HttpReply generated = post("ctl", "rawPromptStream", kSplitEuro);
    ASSERT_EQ(generated.status, 200) << generated.body;
    EXPECT_GT(status("ctl")["context_used"], 0);
    expectOk(post("ctl", "reset", ""), "context reset", "ctl");
    const json reset = status("ctl");
    EXPECT_EQ(reset["context_used"], 0);
    EXPECT_EQ(reset["sessionOutputTokens"], 0);
    EXPECT_EQ(reset["loaded"], true);

    expectOk(post("ctl", "stop", "{}"), "already stopped", "ctl");
    EXPECT_EQ(errorMessage(post("ctl", "stop", "")), "Invalid JSON");
    EXPECT_EQ(post("zz", "stop", "{}").status, 404);

    expectOk(post("ctl", "unload", ""), "unloaded", "ctl");
    EXPECT_EQ(status("ctl")["loaded"], false);
    expectOk(post("ctl", "unload", ""), "already unloaded", "ctl");
    EXPECT_EQ(post("zz", "unload", "").status, 404);
}

TEST_F(InstanceControl, UnloadOfAnUnloadedInstanceEmptiesAMarkedStore) {
    const std::string store = home_->dir().file("mivrel/temp/storage.kvx");
    writeTextFile(store, "old files");
    expectOk(post("temp", "unload", ""), "already unloaded", "temp");
    EXPECT_FALSE(std::filesystem::exists(store));
}

TEST_F(InstanceControl, SwitchConversation) {
    struct Case {
        std::string body;
        int status;
        std::string message;  // reply message or error message
        json conversationId;  // in the status afterwards (when 200)
    };
    const std::string longest(256, 'L');
    const Case cases[] = {
        {R"({"conversationId": "c2"})", 200, "conversationId changed to c2", "c2"},
        {R"({"conversationId": ")" + longest + "\"}", 200, "conversationId changed to " + longest, longest},
        // Beyond the limit nothing changes: the status still shows the last one.
        {R"({"conversationId": ")" + std::string(1 << 20, 'x') + "\"}", 400,
         "\"conversationId\" must be at most 256 bytes", nullptr},
        {"{}", 200, "conversationId changed to ", nullptr},
        {"{/* note */ \"conversationId\": \"c3\"}", 200, "conversationId changed to c3", "c3"},
        {R"({"conversationId": 5})", 400, "\"conversationId\" must be a string", nullptr},
        {"[]", 400, "request body must be a JSON object", nullptr},
        {"", 400, "Invalid JSON", nullptr},
    };
    for (const Case& c : cases) {
        const HttpReply reply = post("conv", "switch-conversation", c.body);
        ASSERT_EQ(reply.status, c.status) << c.body.substr(0, 80) << " -> " << reply.body;
        if (c.status == 200) {
            EXPECT_EQ(bodyJson(reply), (json{{"message", c.message}, {"ok", true}}));
            EXPECT_EQ(status("conv")["conversationId"], c.conversationId) << c.body;
        } else {
            EXPECT_EQ(errorMessage(reply), c.message) << c.body.substr(0, 80);
            if (c.body.size() > 1000) {
                EXPECT_EQ(status("conv")["conversationId"], longest);
            }
        }
    }
    EXPECT_EQ(errorCode(post("img", "switch-conversation", "{}")), "unsupported_mivrel_type");
}

TEST_F(InstanceControl, WhileAGenerationRuns) {
    OpenStream stream;
    ASSERT_TRUE(stream.open(home_->port(), "/v1/mivrel/run/rawPromptStream", kEndless));
    ASSERT_TRUE(stream.readUntil("event: token")) << stream.received();

    EXPECT_EQ(status("run")["status"], "busy");
    const json list = bodyJson(home_->get("/v1/mivrels"));
    for (const json& summary : list["mivrels"]) {
        if (summary["mivrelId"] == "run") {
            EXPECT_EQ(summary["status"], "busy");
        }
    }
    for (const auto& [action, body] : std::vector<std::pair<std::string, std::string>>{
             {"reset", ""}, {"tokenize", R"({"text": "a"})"}, {"switch-conversation", "{}"},
             {"rawPromptStream", kEndless}}) {
        const HttpReply refused = post("run", action, body);
        EXPECT_EQ(refused.status, 409) << action << " -> " << refused.body;
        EXPECT_EQ(errorCode(refused), "mivrel_inferring") << action;
        EXPECT_EQ(errorMessage(refused), "Inference in progress") << action;
    }

    expectOk(post("run", "stop", "{}"), "inference stopped", "run");
    ASSERT_TRUE(stream.readUntil("data: [DONE]\n\n\r\n0\r\n\r\n")) << stream.received();
    EXPECT_NE(stream.received().find("event: done\n"), std::string::npos);
    EXPECT_EQ(status("run")["status"], "idle") << "free before the stream ended";
    expectOk(post("run", "stop", "{}"), "already stopped", "run");

    // Unload stops a running generation and waits for it.
    OpenStream second;
    ASSERT_TRUE(second.open(home_->port(), "/v1/mivrel/run/rawPromptStream", kEndless));
    ASSERT_TRUE(second.readUntil("event: token")) << second.received();
    expectOk(post("run", "unload", ""), "unloaded", "run");
    ASSERT_TRUE(second.readUntil("data: [DONE]\n\n")) << second.received();
    const json after = status("run");
    EXPECT_EQ(after["loaded"], false);
    EXPECT_EQ(after["status"], "idle");
}

TEST_F(InstanceControl, RawPromptStreamKeepsEveryEventValidUtf8) {
    const HttpReply reply = post("raw", "rawPromptStream", kSplitEuro);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.chunked);
    EXPECT_EQ(reply.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(reply.header("Cache-Control"), "no-cache");
    EXPECT_EQ(reply.header("X-Accel-Buffering"), "no");
    EXPECT_EQ(reply.body.substr(reply.body.size() - 14), "data: [DONE]\n\n");

    const std::vector<SseEvent> events = parseEvents(reply.body);
    ASSERT_GE(events.size(), 2u);
    std::string text;
    std::vector<int32_t> ids;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        const json& data = events[i].data;
        ASSERT_EQ(events[i].name, "token") << data.dump();
        ASSERT_FALSE(data.is_discarded());
        EXPECT_FALSE(data.contains("incomplete"));
        text += data["text"].get<std::string>();
        for (int32_t id : data["tokenIds"]) ids.push_back(id);
        const bool last = i + 2 == events.size();
        EXPECT_EQ(data["hasEog"], last) << data.dump();
        EXPECT_EQ(data["hasSpecial"], last) << data.dump();
        if (data["text"] == "\xE2\x82\xAC") {
            EXPECT_EQ(data["tokenIds"], (json{0xE2, 0x82, 0xAC})) << "held back until the character is whole";
        }
    }
    EXPECT_EQ(text, testmodels::kSplitUtf8.text);
    EXPECT_EQ(ids, testmodels::kSplitUtf8.tokens);
    const SseEvent& done = events.back();
    EXPECT_EQ(done.name, "done");
    EXPECT_EQ(done.data["tokenCount"], events.size() - 1);
    EXPECT_TRUE(done.data["elapsed_ms"].is_number_integer());
    EXPECT_EQ(status("raw")["status"], "idle");
}

TEST_F(InstanceControl, RawPromptStreamRefusals) {
    struct Case {
        const char* id;
        const char* body;
        int status;
        const char* code;
        const char* message;
    };
    const Case cases[] = {
        {"raw", R"({"rawPrompt": ""})", 400, "bad_request", "rawPrompt is required"},
        {"zz", "{}", 400, "bad_request", "rawPrompt is required"},
        {"raw", "{", 400, "bad_request", "Invalid JSON"},
        {"raw", "[]", 400, "bad_request", "request body must be a JSON object"},
        {"raw", R"({"rawPrompt": 5})", 400, "bad_request", "\"rawPrompt\" must be a string"},
        {"zz", R"({"rawPrompt": "a"})", 404, "mivrel_not_found", "Mivrel not found: zz"},
        {"img", R"({"rawPrompt": "a"})", 400, "unsupported_mivrel_type",
         "rawPromptStream is not supported by Mivrel 'img' (familyType=IMAGE, supported: LLM)"},
    };
    for (const Case& c : cases) {
        const HttpReply reply = post(c.id, "rawPromptStream", c.body);
        EXPECT_EQ(reply.status, c.status) << c.body << " -> " << reply.body;
        EXPECT_FALSE(reply.chunked) << "refused before the stream head";
        EXPECT_EQ(errorCode(reply), c.code) << c.body;
        EXPECT_EQ(errorMessage(reply), c.message) << c.body;
    }
}

}  // namespace
