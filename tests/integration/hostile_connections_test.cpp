// A hostile run against the connections and request bodies of the real
// brisvanesrv: texts far beyond the context, stops while a long text is
// tokenized, bodies held at their limit, and sockets that trickle request
// heads and reopen as the server closes them. After each attack a normal
// client must be served, and the server must give back what the attack took.
// Nothing is timed: waits are generous (a loaded machine) and assertions are
// about outcomes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "instance_home.h"
#include "support/http_client.h"
#include "support/test_models.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Polls `check` every 100 ms until it holds or `seconds` pass.
template <typename Check>
bool eventually(int seconds, Check&& check) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!check()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// A request on a new connection whose reply may take long.
HttpReply slowPost(uint16_t port, const std::string& target, const std::string& body) {
    return httpRequest(port, "POST", target, {{"Content-Type", "application/json"}}, body, 300000);
}

std::string chatBody(const std::string& text) {
    return json({{"conversationId", "c1"},
                 {"messages", json::array({{{"role", "user"}, {"content", text}}})},
                 {"options", {{"stream", false}, {"max_tokens", 4}}}})
        .dump();
}

// Ordinary words, one token per byte for the kit's vocabulary.
std::string words(size_t bytes) {
    std::string text;
    text.reserve(bytes + 16);
    while (text.size() < bytes) text += "hello world ";
    text.resize(bytes);
    return text;
}

// Every endpoint that tokenizes a client's text refuses one that cannot fit
// the context by its size, before tokenizing it: 400 "bad_request" naming the
// context (the decision endpoints answered 500 after tokenizing it whole, the
// chat endpoint a different 400 after the same work).
TEST(HostileConnections, TextsBeyondTheContextAreRefusedBeforeTokenizing) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("chat", "tiny");
    ASSERT_TRUE(home.start());
    const std::string text = words(1 << 20);
    const std::string quoted = json(text).dump();
    const std::pair<std::string, std::string> cases[] = {
        {"messages", chatBody(text)},
        {"choice", R"({"query": )" + quoted + R"(, "choices": ["a", "b"]})"},
        {"systemone", R"({"state": )" + quoted +
                          R"(, "questions": {"q": {"instructions": "Which?", "type": "choice", "criteria": {"a": null, "b": null}}}})"},
        {"tokenize", R"({"text": )" + quoted + R"(, "options": {"autoLoad": true}})"},
        {"rawPromptStream", R"({"rawPrompt": )" + quoted + "}"},
    };
    for (const auto& [endpoint, body] : cases) {
        SCOPED_TRACE(endpoint);
        const HttpReply reply = slowPost(home.port(), "/v1/mivrel/chat/" + endpoint, body);
        ASSERT_EQ(reply.status, 400) << reply.body.substr(0, 300);
        const json error = bodyJson(reply)["error"];
        EXPECT_EQ(error["code"], "bad_request");
        EXPECT_NE(error["message"].get<std::string>().find("is too long for the context: 1048576 bytes"),
                  std::string::npos)
            << error.dump();
        EXPECT_TRUE(home.becomesIdle("chat"));
    }
    // A text that fits is still served.
    EXPECT_EQ(slowPost(home.port(), "/v1/mivrel/chat/tokenize", R"({"text": "hello"})").status, 200);
}

// A stop that arrives while a long text is tokenized ends the request as a
// stop does (the chat reply with stop reason "abort", 409 "mivrel_stopped"
// elsewhere), never as 500 "internal_error" "tokenize stopped". The text fits
// the flood model's large context, so it is tokenized for a few seconds; a
// stop that misses the tokenizing is tried again.
TEST(HostileConnections, StopDuringTokenizingAnswersAsAStop) {
    InstanceHome home;
    home.addModel("flood", "flood.gguf", testmodels::kFloodChatFile, {{"assembler", "qwen3"}});
    home.addInstance("big", "flood", {{"n_ctx", 60000}});
    ASSERT_TRUE(home.start());
    ASSERT_EQ(slowPost(home.port(), "/v1/mivrel/big/tokenize", R"({"text": "a", "options": {"autoLoad": true}})")
                  .status,
              200);
    auto state = [&] { return bodyJson(home.get("/v1/mivrel/big/status")).value("status", ""); };
    const std::string text = words(3 << 20);
    const std::string quoted = json(text).dump();
    struct Case {
        std::string endpoint;
        std::string body;
    };
    const Case cases[] = {
        {"messages", chatBody(text)},
        {"choice", R"({"query": )" + quoted + R"(, "choices": ["a", "b"]})"},
        {"tokenize", R"({"text": )" + quoted + "}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endpoint);
        bool stoppedInTime = false;
        for (int attempt = 0; attempt < 4 && !stoppedInTime; ++attempt) {
            HttpReply reply;
            std::thread client([&] { reply = slowPost(home.port(), "/v1/mivrel/big/" + c.endpoint, c.body); });
            const bool busy = eventually(60, [&] { return state() == "busy"; });
            // Past the claim and into the tokenizing.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const HttpReply stop = home.post("/v1/mivrel/big/stop", "{}");
            client.join();
            ASSERT_TRUE(busy);
            ASSERT_EQ(stop.status, 200) << stop.body;
            const json body = bodyJson(reply);
            EXPECT_NE(reply.status, 500) << reply.body.substr(0, 300);
            if (c.endpoint == "messages" && reply.status == 200) {
                EXPECT_EQ(body["message"]["usage"]["stop_reason"], "abort") << reply.body.substr(0, 300);
                EXPECT_EQ(body["message"]["content"], json::array());
                stoppedInTime = true;
            } else if (reply.status == 409) {
                EXPECT_EQ(body["error"]["code"], "mivrel_stopped") << reply.body;
                stoppedInTime = true;
            }
            ASSERT_TRUE(home.becomesIdle("big"));
        }
        EXPECT_TRUE(stoppedInTime) << "no stop reached the tokenizing";
    }
}

}  // namespace
