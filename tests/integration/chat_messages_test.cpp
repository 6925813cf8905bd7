// Chat over HTTP against the real brisvanesrv on the kit's scripted model:
// whole and streamed replies, event order, thinking and tool-call blocks,
// conversation ownership, resumable replies, request checks, disconnects and
// the after-generate release.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "instance_home.h"
#include "sse_events.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;

std::vector<std::string> namesOf(const std::vector<SseEvent>& events) {
    std::vector<std::string> names;
    for (const SseEvent& e : events) names.push_back(e.name);
    return names;
}

// The names with consecutive repeats of "message.delta" folded into one.
std::vector<std::string> foldedNames(const std::vector<SseEvent>& events) {
    std::vector<std::string> names;
    for (const SseEvent& e : events) {
        if (e.name == "message.delta" && !names.empty() && names.back() == e.name) continue;
        names.push_back(e.name);
    }
    return names;
}

// The answer text without the blank lines the assembler keeps after a thought.
std::string rtrimmedFront(const std::string& text) {
    const size_t start = text.find_first_not_of("\n");
    return start == std::string::npos ? std::string() : text.substr(start);
}

std::string errorCode(const HttpReply& reply) { return bodyJson(reply)["error"].value("code", ""); }
std::string errorMessage(const HttpReply& reply) { return bodyJson(reply)["error"].value("message", ""); }

// A chat body: one user message, options as given.
std::string chatBody(const std::string& conversation, const std::string& text, const json& options = json::object()) {
    return json({{"conversationId", conversation},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 {"options", options}})
        .dump();
}

uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string bigEndian(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// An 8x8 RGB PNG with its pixel rows in one stored (uncompressed) deflate
// block.
std::string tinyPng() {
    const int side = 8;
    std::string raw;
    for (int y = 0; y < side; ++y) {
        raw += '\0';  // no filter
        for (int x = 0; x < side * 3; ++x) raw += static_cast<char>((x * 31 + y * 17) & 0xFF);
    }
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    const uint16_t len = static_cast<uint16_t>(raw.size());
    std::string zlib = "\x78\x01";
    zlib += '\x01';  // final stored block
    zlib += static_cast<char>(len & 0xFF);
    zlib += static_cast<char>(len >> 8);
    zlib += static_cast<char>(~len & 0xFF);
    zlib += static_cast<char>((~len >> 8) & 0xFF);
    zlib += raw + bigEndian((b << 16) | a);
    const auto chunk = [](const std::string& type, const std::string& data) {
        return bigEndian(static_cast<uint32_t>(data.size())) + type + data + bigEndian(crc32(type + data));
    };
    std::string header = bigEndian(side) + bigEndian(side);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", zlib) + chunk("IEND", "");
}

class ChatMessages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<InstanceHome>();
        // qwen3: ChatML prompts; every generation prompt gets the thought reply.
        home_->addModel("scripted", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "qwen3"}});
        // Raw prompts: the message text decides the script (":\n" a tool call,
        // "~\n" the endless loop).
        home_->addModel("tagged", "scripted.gguf", testmodels::kScriptedChatFile, {{"assembler", "buffered_tag"}});
        // Raw prompts too, with tokens longer than a kilobyte.
        home_->addModel("flood", "flood.gguf", testmodels::kFloodChatFile, {{"assembler", "buffered_tag"}});
        home_->addModel("ghost", "ghost.gguf", "");
        home_->addModel("seeing", "scripted.gguf", testmodels::kScriptedChatFile,
                        {{"assembler", "qwen3"}, {"files", {{"model", "scripted.gguf"}, {"mmproj", "proj.gguf"}}}});
        home_->linkModelFile("seeing", "proj.gguf", testmodels::kProjectorFile);
        home_->addModel("pics", "pics.bin", "", {{"familyType", "IMAGE"}});
        for (const char* id : {"whole", "stream", "owner", "busy", "resume", "checks"})
            home_->addInstance(id, std::string(id) == "whole" || std::string(id) == "stream" ||
                                           std::string(id) == "owner" || std::string(id) == "checks"
                                       ? "scripted"
                                       : "tagged");
        home_->addInstance("tools", "tagged");
        home_->addInstance("warm", "tagged");
        home_->addInstance("count", "tagged");
        home_->addInstance("count-qwen", "scripted");
        home_->addInstance("count-long", "flood");
        home_->addInstance("once", "scripted", {{"release_policy", "after_generate"}});
        home_->addInstance("broken", "ghost");
        home_->addInstance("eye", "seeing");
        home_->addInstance("img", "pics");
        home_->start();
    }
    static void TearDownTestSuite() { home_.reset(); }

    // Generous time-outs: loads and image encoding are slow on busy machines
    // and under sanitizers.
    static HttpReply chat(const std::string& id, const std::string& body) {
        return httpRequest(home_->port(), "POST", "/v1/mivrel/" + id + "/messages",
                           {{"Content-Type", "application/json"}}, body, 120000);
    }
    static json status(const std::string& id) { return bodyJson(home_->get("/v1/mivrel/" + id + "/status")); }

    static std::unique_ptr<InstanceHome> home_;
};
std::unique_ptr<InstanceHome> ChatMessages::home_;

TEST_F(ChatMessages, FirstWholeReplyLoadsTheInstance) {
    const HttpReply first = chat("whole", chatBody("c1", "Hi"));
    ASSERT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.header("Content-Type"), "application/json");
    EXPECT_TRUE(keysInOrder(first.body, {"conversationId", "message", "mivrelId", "mivrel_init", "sampler"}))
        << first.body;
    const json reply = bodyJson(first);
    EXPECT_EQ(reply["mivrelId"], "whole");
    EXPECT_EQ(reply["conversationId"], "c1");
    EXPECT_EQ(reply["mivrel_init"]["scope"], "model");
    EXPECT_EQ(reply["mivrel_init"]["n_ctx"], testmodels::kTrainedContext);
    EXPECT_EQ(reply["sampler"]["reason"], "reset");
    EXPECT_TRUE(reply["sampler"].contains("temperature"));

    const json& message = reply["message"];
    EXPECT_EQ(message["role"], "assistant");
    EXPECT_EQ(message["id"].get<std::string>().rfind("msg-", 0), 0u);
    ASSERT_FALSE(message["content"].empty()) << message.dump();
    const json& last = message["content"].back();
    EXPECT_EQ(last["type"], "text");
    EXPECT_EQ(rtrimmedFront(last["text"]), "Hello there!");
    const json& usage = message["usage"];
    EXPECT_EQ(usage["stop_reason"], "eot");
    EXPECT_EQ(usage["resumable"], false);
    EXPECT_GT(usage["input_tokens"], 0);
    EXPECT_GT(usage["output_tokens"], 0);
    EXPECT_FALSE(usage.contains("injected")) << "diagnostics only with show_gen_status";

    const json after = status("whole");
    EXPECT_EQ(after["loaded"], true);
    EXPECT_EQ(after["status"], "idle");
    EXPECT_EQ(after["last_response_id"], message["id"]);
    EXPECT_EQ(after["conversationId"], "c1");
    EXPECT_EQ(after["totalOutputTokens"], usage["output_tokens"]);
    EXPECT_EQ(after["currentOutputTokens"], usage["output_tokens"]);

    // Loaded already: no init payload, the sampler is the current one.
    const HttpReply second = chat("whole", chatBody("c1", "Again", {{"show_gen_status", true}}));
    ASSERT_EQ(second.status, 200) << second.body;
    const json again = bodyJson(second);
    EXPECT_FALSE(again.contains("mivrel_init"));
    EXPECT_EQ(again["sampler"]["reason"], "current");
    const json& diagnostics = again["message"]["usage"];
    EXPECT_EQ(diagnostics["assembler"], "qwen3");
    EXPECT_EQ(diagnostics["control_action"], nullptr);
    // The end-of-turn token ends a generation without entering the context,
    // so the next prompt closes the turn first.
    EXPECT_EQ(diagnostics["injected"], json::array({"turn_close"}));
    EXPECT_EQ(diagnostics["turn_open"], true) << "this reply's own turn";
    EXPECT_EQ(status("whole")["totalOutputTokens"],
              usage["output_tokens"].get<int>() + diagnostics["output_tokens"].get<int>());
}

TEST_F(ChatMessages, StreamedReplyEventOrderAndKeepAlive) {
    HttpConnection connection;
    ASSERT_TRUE(connection.connect(home_->port()));
    const std::string target = "/v1/mivrel/stream/messages";
    ASSERT_TRUE(connection.send(buildRequest("POST", target, {{"Content-Type", "application/json"}},
                                             chatBody("s1", "Hi", {{"stream", true}}))));
    HttpReply reply;
    ASSERT_TRUE(connection.readReply(&reply, 120000));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.chunked);
    EXPECT_EQ(reply.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(reply.header("Cache-Control"), "no-cache");
    EXPECT_EQ(reply.header("X-Accel-Buffering"), "no");
    const size_t done = reply.body.find("data: [DONE]\n\n");
    ASSERT_NE(done, std::string::npos);
    EXPECT_EQ(done + 14, reply.body.size()) << "[DONE] is the last chunk";

    const std::vector<SseEvent> events = parseEvents(reply.body);
    EXPECT_EQ(foldedNames(events),
              (std::vector<std::string>{"mivrel.init_start", "mivrel.init_done", "message.created", "message.sampler",
                                        "message.delta", "message.block_done", "message.block_done",
                                        "message.completed"}))
        << reply.body;
    EXPECT_EQ(events[2].data["conversationId"], "s1");
    EXPECT_EQ(events[3].data["reason"], "reset");
    EXPECT_TRUE(keysInOrder(reply.body, {"mivrelId", "conversationId", "message_id"}));

    int expectedIndex = 0;
    std::string thinking, text;
    int tokenSum = 0;
    std::vector<std::string> blockTypes;
    json completed;
    for (const SseEvent& e : events) {
        if (e.name == "message.delta") {
            EXPECT_EQ(e.data["delta_index"], expectedIndex++) << "no gaps";
            (e.data["type"] == "thinking" ? thinking : text) += e.data["delta"].get<std::string>();
        } else if (e.name == "message.block_done") {
            blockTypes.push_back(e.data["type"]);
            tokenSum += e.data["token_count"].get<int>();
            EXPECT_GE(e.data["elapsed_ms"], 0);
        } else if (e.name == "message.completed") {
            completed = e.data;
        }
    }
    EXPECT_EQ(blockTypes, (std::vector<std::string>{"thinking", "text"}));
    EXPECT_NE(thinking.find("Thinking it over."), std::string::npos) << thinking;
    EXPECT_EQ(rtrimmedFront(text), "Hello there!");
    EXPECT_EQ(completed["mivrelId"], "stream");
    EXPECT_EQ(completed["conversationId"], "s1");
    EXPECT_EQ(completed["message"]["id"], events[2].data["message_id"]);
    EXPECT_EQ(tokenSum, completed["message"]["usage"]["output_tokens"]) << "block counts add up";
    const json& content = completed["message"]["content"];
    ASSERT_EQ(content.size(), 2u);
    EXPECT_EQ(content[0]["type"], "thinking");
    EXPECT_EQ(content[0]["signature"], "");

    // The same connection carries the next request, and the instance is free.
    ASSERT_TRUE(connection.send(buildRequest("POST", target, {{"Content-Type", "application/json"}},
                                             chatBody("s1", "More", {{"stream", true}}))));
    HttpReply next;
    ASSERT_TRUE(connection.readReply(&next, 120000));
    EXPECT_EQ(next.status, 200);
    const std::vector<std::string> names = foldedNames(parseEvents(next.body));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "message.created") << "no load the second time";
    EXPECT_EQ(names.back(), "message.completed");
}

TEST_F(ChatMessages, ToolCallsComeOutAsToolUseBlocks) {
    const json tools = json::array({{{"name", "get_weather"}}});
    const std::string body = json({{"conversationId", "t1"},
                                   {"messages", json::array({{{"role", "user"}, {"content", "What is the weather:"}}})},
                                   {"tools", tools},
                                   {"options", {{"stream", true}}}})
                                 .dump();
    const HttpReply reply = chat("tools", body);
    ASSERT_EQ(reply.status, 200);
    json block, completed;
    for (const SseEvent& e : parseEvents(reply.body)) {
        if (e.name == "message.block_done" && e.data["type"] == "tool_use") block = e.data;
        if (e.name == "message.completed") completed = e.data;
    }
    ASSERT_TRUE(block.is_object()) << reply.body;
    const std::string id = block["id"];
    EXPECT_EQ(id.rfind("call_", 0), 0u);
    EXPECT_EQ(id.substr(id.size() - 2), "_0");
    EXPECT_NE(block["raw"].get<std::string>().find("\"get_weather\""), std::string::npos);
    EXPECT_FALSE(block.contains("partial"));
    const json& content = completed["message"]["content"];
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back()["type"], "tool_use");
    EXPECT_EQ(content.back()["id"], id);
}

TEST_F(ChatMessages, ConversationOwnershipAndContextReset) {
    ASSERT_EQ(chat("owner", chatBody("A", "Hi")).status, 200);
    const HttpReply occupied = chat("owner", chatBody("B", "Hi"));
    EXPECT_EQ(occupied.status, 409);
    EXPECT_EQ(errorCode(occupied), "mivrel_occupied");
    EXPECT_EQ(errorMessage(occupied), "Mivrel is currently in use by conversation: A");

    const HttpReply reset = chat("owner", chatBody("B", "Hi", {{"stream", true}, {"mivrel_reset", true}}));
    ASSERT_EQ(reset.status, 200);
    const std::vector<SseEvent> events = parseEvents(reset.body);
    ASSERT_GE(events.size(), 4u) << reset.body;
    EXPECT_EQ(events[0].name, "mivrel.init_start");
    EXPECT_EQ(events[0].data, json::parse(R"({"mivrelId":"owner","scope":"context","n_ctx":512,"started_at":")" +
                                          events[0].data["started_at"].get<std::string>() + "\"}"));
    EXPECT_EQ(events[1].name, "mivrel.init_done");
    EXPECT_EQ(events[1].data["scope"], "context");
    EXPECT_TRUE(keysInOrder(reset.body, {"mivrelId", "scope", "n_ctx", "elapsed_ms", "done_at"}));
    EXPECT_EQ(events[3].data["reason"], "reset");
    EXPECT_EQ(events.back().name, "message.completed");
    EXPECT_EQ(status("owner")["conversationId"], "B");
    EXPECT_EQ(errorMessage(chat("owner", chatBody("A", "Hi"))), "Mivrel is currently in use by conversation: B");

    // A non-streamed reset reports the context init in the body.
    const json whole = bodyJson(chat("owner", chatBody("A", "Hi", {{"mivrel_reset", true}})));
    EXPECT_EQ(whole["mivrel_init"]["scope"], "context");
}

TEST_F(ChatMessages, BusyInstanceAndDisconnectedClient) {
    OpenStream open;
    ASSERT_TRUE(open.open(home_->port(), "/v1/mivrel/busy/messages", chatBody("b1", "tick~", {{"stream", true}})));
    ASSERT_TRUE(open.readUntil("event: message.delta"));

    // Its own conversation (or one that would reset it) waits for the
    // generation; another conversation learns who holds the instance.
    struct Case {
        const char* conversation;
        json options;
        const char* code;
        const char* message;
    } cases[] = {
        {"b1", json::object(), "mivrel_inferring", "Inference in progress"},
        {"b2", {{"mivrel_reset", true}}, "mivrel_inferring", "Inference in progress"},
        {"b2", json::object(), "mivrel_occupied", "Mivrel is currently in use by conversation: b1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.conversation) + " " + c.options.dump());
        const HttpReply parallel = chat("busy", chatBody(c.conversation, "Hi", c.options));
        EXPECT_EQ(parallel.status, 409);
        EXPECT_EQ(errorCode(parallel), c.code);
        EXPECT_EQ(errorMessage(parallel), c.message);
    }
    // The status shows the first reply's context mid-generation.
    const json midway = status("busy");
    EXPECT_EQ(midway["status"], "busy");
    EXPECT_GT(midway["context_used"].get<int>(), 0) << midway.dump();
    EXPECT_EQ(midway["context_remain"].get<int>(),
              midway["context_size"].get<int>() - midway["context_used"].get<int>());

    open.reset();
    json after;
    for (int i = 0; i < 1200; ++i) {
        after = status("busy");
        if (after["status"] == "idle") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(after["status"], "idle") << "the broken stream stopped the generation";
    EXPECT_EQ(after["loaded"], true);
    const HttpReply next = chat("busy", chatBody("b1", "Hi"));
    EXPECT_EQ(next.status, 200) << next.body;
}

TEST_F(ChatMessages, UsageCountsTheGeneratedTokensAndTheStreamCarriesTheWholeReply) {
    // output_tokens is the number of tokens generated (a character over three
    // tokens counts three; the end of the stream counts none), the blocks'
    // counts add up to it, and the streamed deltas are the reply's text.
    struct Case {
        const char* name;
        const char* id;
        std::string text;
        json options;
        int outputTokens;
        const char* stopReason;
        std::string reply;  // empty: not checked
    };
    const std::string f = " " + std::string(testmodels::kFloodTokenBytes - 1, 'f');
    const std::string g = " " + std::string(testmodels::kFloodTokenBytes - 1, 'g');
    const Case cases[] = {
        {"thought and answer", "count-qwen", "Hi", json::object(), 8, "eot", ""},
        {"split character", "count", "Cost$", json::object(), 6, "eot", ""},
        {"cut by max_tokens", "count", "tick~", {{"apply_sampling", true}, {"max_tokens", 7}}, 7, "n_predict", ""},
        {"tokens longer than a kilobyte", "count-long", "tick~", {{"apply_sampling", true}, {"max_tokens", 3}}, 3, "n_predict", f + g + f},
    };
    for (const bool stream : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (stream ? " streamed" : " whole"));
            json options = c.options;
            options["stream"] = stream;
            const HttpReply reply = chat(c.id, chatBody(std::string("u-") + c.id, c.text, options));
            ASSERT_EQ(reply.status, 200) << reply.body;
            json message;
            int blockSum = 0;
            std::string streamed;
            if (stream) {
                for (const SseEvent& e : parseEvents(reply.body)) {
                    if (e.name == "message.delta") streamed += e.data["delta"].get<std::string>();
                    if (e.name == "message.block_done") blockSum += e.data["token_count"].get<int>();
                    if (e.name == "message.completed") message = e.data["message"];
                }
            } else {
                message = bodyJson(reply)["message"];
            }
            ASSERT_TRUE(message.is_object()) << reply.body;
            EXPECT_EQ(message["usage"]["output_tokens"], c.outputTokens);
            EXPECT_EQ(message["usage"]["stop_reason"], c.stopReason);
            std::string whole;
            for (const json& block : message["content"])
                whole += block.value("thinking", "") + block.value("text", "");
            if (stream) {
                EXPECT_EQ(blockSum, c.outputTokens);
                EXPECT_EQ(streamed, whole);
            }
            if (!c.reply.empty()) {
                EXPECT_EQ(whole, c.reply);
            }
        }
    }
}

TEST_F(ChatMessages, CutRepliesResume) {
    const json sampling = {{"apply_sampling", true}, {"max_tokens", 4}};
    const HttpReply cut = chat("resume", chatBody("r1", "tick~", sampling));
    ASSERT_EQ(cut.status, 200) << cut.body;
    const json first = bodyJson(cut)["message"];
    EXPECT_EQ(first["usage"]["stop_reason"], "n_predict");
    EXPECT_EQ(first["usage"]["resumable"], true);
    EXPECT_EQ(bodyJson(cut)["sampler"]["reason"], "changed");
    EXPECT_EQ(bodyJson(cut)["sampler"]["max_tokens"], 4);
    const std::string id = first["id"];

    struct Case {
        json control;
        bool withMessages;
        std::string message;
    } refusals[] = {
        {{{"action", "continue"}, {"message_id", "msg-1"}}, false,
         "message_id does not match the last resumable response (" + id + ")"},
        {{{"action", "continue"}}, true,
         "conversation_control \"continue\" cannot be combined with messages (send messages without "
         "conversation_control to give a new instruction)"},
        {{{"action", "pause"}}, false, "\"conversation_control.action\" must be \"continue\" or \"close_thinking\""},
    };
    for (const Case& c : refusals) {
        json body = {{"conversationId", "r1"}, {"conversation_control", c.control}};
        if (c.withMessages) body["messages"] = json::array({{{"role", "user"}, {"content", "x"}}});
        const HttpReply reply = chat("resume", body.dump());
        EXPECT_EQ(reply.status, 400) << c.control;
        EXPECT_EQ(errorMessage(reply), c.message);
    }
    const HttpReply otherConversation = chat(
        "resume", json({{"conversationId", "r2"}, {"conversation_control", {{"action", "continue"}}}}).dump());
    EXPECT_EQ(errorCode(otherConversation), "mivrel_occupied");

    const HttpReply resumed = chat(
        "resume",
        json({{"conversationId", "r1"}, {"conversation_control", {{"action", "continue"}, {"message_id", id}}},
              {"options", {{"debug_prompt", true}}}})
            .dump());
    ASSERT_EQ(resumed.status, 200) << resumed.body;
    const json second = bodyJson(resumed)["message"];
    EXPECT_EQ(second["usage"]["input_tokens"], 0);
    EXPECT_EQ(second["input_raw_prompt"], "");
    EXPECT_TRUE(second.contains("output_raw_prompt"));
    EXPECT_EQ(second["content"].back()["text"], " tick tock tick tock");
    EXPECT_EQ(second["usage"]["resumable"], true);

    // A reply that ended properly cannot be continued.
    const HttpReply finished = chat("resume", chatBody("r1", "Cost$", {{"apply_sampling", true}, {"max_tokens", 64}}));
    ASSERT_EQ(finished.status, 200) << finished.body;
    EXPECT_EQ(bodyJson(finished)["message"]["usage"]["stop_reason"], "eot");
    const HttpReply nothing =
        chat("resume", json({{"conversationId", "r1"}, {"conversation_control", {{"action", "continue"}}}}).dump());
    EXPECT_EQ(nothing.status, 400);
    EXPECT_EQ(errorMessage(nothing), "the last response is not resumable");
}

TEST_F(ChatMessages, RequestChecks) {
    struct Case {
        const char* id;
        std::string body;
        int status;
        const char* code;
        std::string message;
    };
    const auto sampling = [](const json& values) {
        json options = values;
        options["apply_sampling"] = true;
        return chatBody("k", "Hi", options);
    };
    const Case cases[] = {
        {"checks", "{", 400, "bad_request", "Invalid JSON"},
        // Deep enough to overflow the handler's stack if anything walked it.
        {"checks", R"({"conversationId": "k", "messages": )" + std::string(100000, '[') + std::string(100000, ']') + "}",
         400, "bad_request", "Invalid JSON: nesting deeper than 256 levels"},
        {"checks", "[1]", 400, "bad_request", "request body must be a JSON object"},
        {"checks", R"({"conversationId": 5, "messages": []})", 400, "bad_request",
         "\"conversationId\" must be a string"},
        {"checks", R"({"messages": [{"role": "user", "content": "x"}]})", 400, "bad_request",
         "conversationId is required"},
        {"checks", R"({"conversationId": "k", "messages": {}})", 400, "bad_request", "messages must be an array"},
        {"checks", R"({"conversationId": "k", "messages": null})", 400, "bad_request", "messages array is required"},
        {"checks", R"({"conversationId": "k", "conversation_control": {"x": 1}})", 400, "bad_request",
         "\"conversation_control.action\" is required"},
        {"checks", R"({"conversationId": "k", "conversation_control": {"action": "continue", "message_id": 3}})", 400,
         "bad_request", "\"conversation_control.message_id\" must be a string"},
        {"checks", R"({"conversationId": "k", "conversation_control": {"action": "continue"}, "options": {"mivrel_reset": true}})",
         400, "bad_request", "conversation_control cannot be combined with mivrel_reset"},
        {"checks", R"({"conversationId": "k", "conversation_control": {"action": "continue"}})", 400, "bad_request",
         "there is no response to resume (Mivrel is not loaded)"},
        {"checks", chatBody("k", "Hi", {{"stream", "yes"}}), 400, "bad_request", "\"stream\" must be a boolean"},
        {"checks", chatBody("k", "Hi", {{"mivrel_reset", 1}}), 400, "bad_request", "\"mivrel_reset\" must be a boolean"},
        {"checks", chatBody("k", "Hi", {{"debug_prompt", "no"}}), 400, "bad_request", "\"debug_prompt\" must be a boolean"},
        {"checks", chatBody("k", "Hi", {{"apply_sampling", "yes"}}), 400, "bad_request",
         "\"apply_sampling\" must be a boolean"},
        {"checks", chatBody("k", "Hi", {{"think_budget", 1.5}}), 400, "bad_request", "\"think_budget\" must be an integer"},
        {"checks", sampling({{"temperature", 2.5}}), 400, "bad_request", "\"temperature\" must be a number between 0 and 2"},
        {"checks", sampling({{"top_p", -0.1}}), 400, "bad_request", "\"top_p\" must be a number between 0 and 1"},
        {"checks", sampling({{"top_k", 40.5}}), 400, "bad_request", "\"top_k\" must be an integer between 0 and 1000000"},
        {"checks", sampling({{"min_p", 2}}), 400, "bad_request", "\"min_p\" must be a number between 0 and 1"},
        {"checks", sampling({{"seed", -2}}), 400, "bad_request", "\"seed\" must be an integer between -1 and 4294967294"},
        {"checks", sampling({{"seed", 4294967295ULL}}), 400, "bad_request",
         "\"seed\" must be an integer between -1 and 4294967294"},
        {"checks", sampling({{"repeat_penalty", 0.5}}), 400, "bad_request",
         "\"repeat_penalty\" must be a number between 1 and 2"},
        {"checks", sampling({{"max_tokens", 0}}), 400, "bad_request", "\"max_tokens\" must be an integer between 1 and 512"},
        {"checks", sampling({{"temperature", "hot"}}), 400, "bad_request",
         "\"temperature\" must be a number between 0 and 2"},
        {"checks", chatBody("k", "see <__media__> here"), 400, "bad_request",
         "text must not contain the reserved marker <__media__>"},
        {"checks",
         json({{"conversationId", "k"},
               {"messages", json::array({{{"role", "user"},
                                          {"content", json::array({{{"type", "image"},
                                                                    {"source", {{"type", "file"}, {"file", "files/a.png"}}}}})}}})}})
             .dump(),
         400, "bad_request", "this Mivrel does not accept image input (the model has no vision encoder: files.mmproj)"},
        {"img", chatBody("k", "Hi"), 400, "unsupported_mivrel_type",
         "messages is not supported by Mivrel 'img' (familyType=IMAGE, supported: LLM)"},
        {"nobody", chatBody("k", "Hi"), 404, "mivrel_not_found", "Mivrel not found: nobody"},
    };
    for (const Case& c : cases) {
        const HttpReply reply = chat(c.id, c.body);
        EXPECT_EQ(reply.status, c.status) << c.body << " -> " << reply.body;
        EXPECT_EQ(errorCode(reply), c.code) << c.body;
        EXPECT_EQ(errorMessage(reply), c.message) << c.body;
    }
    EXPECT_EQ(status("checks")["loaded"], false) << "no refused request loaded the instance";

    // Values at the bounds pass, and an integral temperature is a number.
    const HttpReply accepted = chat("checks", chatBody("k", "Hi", {{"apply_sampling", true}, {"temperature", 1},
                                                                  {"top_k", 0}, {"seed", 4294967294ULL},
                                                                  {"repeat_penalty", 2}, {"max_tokens", 512}}));
    EXPECT_EQ(accepted.status, 200) << accepted.body;
}

TEST_F(ChatMessages, ImageBlocksReachTheProjector) {
    const HttpReply uploaded = httpRequest(home_->port(), "POST", "/v1/mivrel/eye/files",
                                           {{"Content-Type", "image/png"}}, tinyPng());
    ASSERT_EQ(uploaded.status, 200) << uploaded.body;
    const std::string file = bodyJson(uploaded)["file"];
    const json image = {{"type", "image"}, {"source", {{"type", "file"}, {"file", file}}}};
    const auto withImage = [&](const std::string& text) {
        return json({{"conversationId", "v"},
                     {"messages", json::array({{{"role", "user"},
                                                {"content", json::array({image, {{"type", "text"}, {"text", text}}})}}})}})
            .dump();
    };

    const HttpReply reply = chat("eye", withImage("What is this?"));
    ASSERT_EQ(reply.status, 200) << reply.body;
    const json usage = bodyJson(reply)["message"]["usage"];
    EXPECT_GT(usage["input_tokens"].get<int>(), testmodels::kImageTokens) << "the image's tokens were decoded";
    EXPECT_EQ(status("eye")["status"], "idle");

    // Plain text goes on in the same conversation.
    const HttpReply text = chat("eye", chatBody("v", "Hi"));
    EXPECT_EQ(text.status, 200) << text.body;
}

TEST_F(ChatMessages, FailedLoadEndsTheStreamWithInitFailed) {
    const HttpReply whole = chat("broken", chatBody("f", "Hi"));
    EXPECT_EQ(whole.status, 500);
    EXPECT_EQ(errorCode(whole), "mivrel_init_fail");

    const HttpReply streamed = chat("broken", chatBody("f", "Hi", {{"stream", true}}));
    EXPECT_EQ(streamed.status, 200);
    const std::vector<SseEvent> events = parseEvents(streamed.body);
    EXPECT_EQ(namesOf(events), (std::vector<std::string>{"mivrel.init_start", "mivrel.init_failed"}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].data["error"]["code"], "mivrel_init_fail");
    EXPECT_EQ(events[1].data["scope"], "model");
    EXPECT_NE(streamed.body.find("data: [DONE]\n\n"), std::string::npos);
    EXPECT_EQ(status("broken")["status"], "idle");
}

TEST_F(ChatMessages, AfterGenerateUnloadsBeforeTheReplyEnds) {
    for (bool stream : {false, true}) {
        const HttpReply reply = chat("once", chatBody("o", "Hi", {{"stream", stream}}));
        ASSERT_EQ(reply.status, 200) << reply.body;
        // Asked right after the reply: the release happened before its end.
        const json after = status("once");
        EXPECT_EQ(after["loaded"], false) << stream;
        EXPECT_EQ(after["status"], "idle") << stream;
    }
}

// The server's threads alive now, by kernel id.
std::set<std::string> liveThreads(pid_t pid) {
    std::set<std::string> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
        ids.insert(entry.path().filename().string());
    return ids;
}

TEST_F(ChatMessages, LaterRepliesStartNoThread) {
#ifndef BRISVANE_LIBRARY_KEEPS_THREADS
    GTEST_SKIP() << "this build's inference library starts its threads for every decode (no OpenMP)";
#endif
    // Replies and stops each come over one kept-alive connection, so no
    // connection thread starts either. Every reply's prompt and generation
    // run on the instance's own thread, which stays with its library threads
    // from reply to reply: once the first replies ran, a reply (looked at
    // while it generates) runs on threads that were all there before.
    OpenStream stream;
    HttpConnection control;
    ASSERT_TRUE(control.connect(home_->port()));
    const std::string target = "/v1/mivrel/warm/messages";
    // Every reply starts from an empty context, so none runs out of room.
    const std::string body = chatBody("w", "tick~", {{"stream", true}, {"mivrel_reset", true}});
    std::set<std::string> before;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(round == 0 ? stream.open(home_->port(), target, body) : stream.send(target, body));
        ASSERT_TRUE(stream.readUntil("event: message.delta")) << stream.received();
        const std::set<std::string> during = liveThreads(home_->process().pid());
        if (round >= 2) {
            for (const std::string& id : during) EXPECT_EQ(before.count(id), 1u) << "thread " << id << " is new";
        }
        before.insert(during.begin(), during.end());
        ASSERT_TRUE(control.send(buildRequest("POST", "/v1/mivrel/warm/stop", {}, "{}")));
        HttpReply stopped;
        ASSERT_TRUE(control.readReply(&stopped, 120000));
        ASSERT_EQ(stopped.status, 200) << stopped.body;
        ASSERT_TRUE(stream.readUntil("\r\n0\r\n\r\n")) << stream.received();
    }
}

}  // namespace
