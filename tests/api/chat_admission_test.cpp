// Who may use a chat instance, against fake engines: a busy instance names
// the conversation that holds it, and a request that is refused, or fails
// before its generation begins, leaves the instance as it found it (no
// "after_generate" unload, no fresh last-active time). The small control
// endpoints leave the last-active time alone too.
#include "api/chat_messages.h"
#include "api/instance_control.h"
#include "engine/mivrel_claim.h"
#include "instance_api_fixture.h"

namespace instance_api {
namespace {

using nlohmann::json;

std::string chatBody(const std::string& conversation, const json& options = json::object(),
                     const json& control = nullptr) {
    json body = {{"conversationId", conversation}, {"options", options}};
    if (control.is_null()) {
        body["messages"] = json::array({{{"role", "user"}, {"content", "Hi"}}});
    } else {
        body["conversation_control"] = control;
    }
    return body.dump();
}

using ChatAdmission = InstanceApiTest;

TEST_F(ChatAdmission, ABusyInstanceNamesTheConversationThatHoldsIt) {
    const auto mivrel = add("busy");
    load(mivrel);
    // A generation of conversation A holds the instance.
    MivrelClaim holder = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(holder);
    mivrel->setConversation("A");
    struct Case {
        const char* conversation;
        bool reset;
        const char* code;
        const char* message;
    } cases[] = {
        {"B", false, "mivrel_occupied", "Mivrel is currently in use by conversation: A"},
        {"A", false, "mivrel_inferring", "Inference in progress"},
        {"B", true, "mivrel_inferring", "Inference in progress"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.conversation) + (c.reset ? " with reset" : ""));
        const Written reply = call(handleMessages, "busy", chatBody(c.conversation, {{"mivrel_reset", c.reset}}));
        EXPECT_EQ(reply.status, 409);
        EXPECT_EQ(reply.json()["error"]["code"], c.code);
        EXPECT_EQ(reply.json()["error"]["message"], c.message);
    }
    // A holder without a conversation belongs to nobody: any request waits.
    mivrel->setConversation("");
    EXPECT_EQ(call(handleMessages, "busy", chatBody("B")).json()["error"]["code"], "mivrel_inferring");
    EXPECT_EQ(mivrel->state.load(), kMivrelRunning) << "the holder keeps its claim";
    holder.release();

    // An instance being loaded has no conversation to name yet.
    const auto loading = add("loading");
    MivrelClaim loader = MivrelClaim::acquire(loading, ClaimKind::kRun);
    ASSERT_TRUE(loader);
    EXPECT_EQ(call(handleMessages, "loading", chatBody("B")).json()["error"]["code"], "mivrel_inferring");
}

TEST_F(ChatAdmission, ARefusedRequestLeavesTheInstanceAsItWas) {
    struct Case {
        const char* name;
        std::string body;
        int status;
        const char* code;
        bool turnOpen, throwOnReset;
    } cases[] = {
        {"other conversation", chatBody("B"), 409, "mivrel_occupied", false, false},
        {"nothing to resume", chatBody("A", json::object(), {{"action", "continue"}}), 400, "bad_request", false,
         false},
        {"close_thinking outside a thought", chatBody("A", json::object(), {{"action", "close_thinking"}}), 400,
         "unsupported_mivrel_type", true, false},
        {"failed context reset", chatBody("B", {{"mivrel_reset", true}}), 500, "mivrel_init_fail", false, true},
        {"sampling the engine refuses", chatBody("A", {{"apply_sampling", true}, {"temperature", 0.5}}), 400,
         "bad_request", false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "once" + std::to_string(n++);
        const auto mivrel = add(id);
        mivrel->config.loadSettings.params = {{"release_policy", "after_generate"}};
        mivrel->config.loadSettings.assembler = "qwen3";
        load(mivrel);
        mivrel->conversationId = "A";
        mivrel->openResponseId = "msg-1";
        mivrel->openPhase = "answering";
        mivrel->lastActiveAt.store(1);
        script_->turnOpen = c.turnOpen;
        script_->throwOnReset = c.throwOnReset;

        const Written reply = call(handleMessages, id, c.body);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        EXPECT_EQ(reply.json()["error"]["code"], c.code) << reply.body;
        EXPECT_TRUE(mivrel->hasEngine()) << "unloaded by a request that never ran";
        EXPECT_EQ(mivrel->lastActiveAt.load(), 1) << "counted as activity";
        EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    }
}

TEST_F(ChatAdmission, ControlEndpointsLeaveTheLastActiveTimeAlone) {
    struct Case {
        const char* name;
        Handler handler;
        const char* body;
    } cases[] = {
        {"tokenize", handleTokenize, R"({"text": "ab"})"},
        {"reset", handleReset, ""},
        {"switch-conversation", handleSwitchConversation, R"({"conversationId": "c2"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto mivrel = add(std::string("ctl-") + c.name);
        load(mivrel);
        mivrel->lastActiveAt.store(1);
        EXPECT_EQ(call(c.handler, mivrel->config.id, c.body).status, 200);
        EXPECT_EQ(mivrel->lastActiveAt.load(), 1);
        EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    }
    // A tokenize that loads the model is the one exception.
    const auto fresh = add("ctl-autoload");
    EXPECT_EQ(call(handleTokenize, "ctl-autoload", R"({"text": "ab", "options": {"autoLoad": true}})").status, 200);
    EXPECT_GT(fresh->lastActiveAt.load(), 1);
}

}  // namespace
}  // namespace instance_api
