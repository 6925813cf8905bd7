#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "api/chat_generation.h"
#include "api/chat_reply.h"
#include "api/chat_request.h"
#include "api/chat_turn.h"
#include "api/chat_usage.h"
#include "api_test_util.h"
#include "base/text_util.h"
#include "net/http_response.h"
#include "net/io_exception.h"
#include "net/socket_peer.h"

namespace {

using nlohmann::json;

// An engine whose generation is scripted: runWithAssembler publishes
// `pieces` as snapshots (or, with `endless`, one piece after another until
// aborted) and then hands over `blocks`.
class ScriptEngine : public StubEngine {
public:
    bool isTurnOpen() override { return turnOpen; }
    void setTurnOpen(bool open) override { turnOpen = open; }
    int nPast() override { return past; }
    int nCtx() override { return 256; }
    GenerationStats getGenerationStats() override { return stats; }
    json getSamplingOptions() override { return sampling; }
    void abortGeneration() override { aborted.store(true); }
    void runWithAssembler(ModelMessageAssembler&, SnapshotCallback onSnapshot, MessageCallback onMessage) override {
        AssemblingSnapshot snapshot;
        for (size_t i = 0; endless ? !aborted.load() : i < pieces.size(); ++i) {
            snapshot.lastPiece = endless ? "tick" : pieces[i].first;
            snapshot.partType = endless ? "message" : pieces[i].second;
            const bool thought = snapshot.partType == "thought";
            snapshot.textDelta = thought ? "" : snapshot.lastPiece;
            // An assembler streams a thought's text, never its tags.
            snapshot.thoughtDelta = thought && snapshot.lastPiece != "<think>" ? snapshot.lastPiece : "";
            onSnapshot(snapshot);
            if (endless) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (failWith) throw std::runtime_error(failWith);
        for (const ModelMessageT& m : blocks) onMessage(m);
    }

    bool turnOpen = false;
    int past = 10;
    GenerationStats stats;
    json sampling = json();
    std::vector<std::pair<std::string, std::string>> pieces;
    std::vector<ModelMessageT> blocks;
    bool endless = false;
    const char* failWith = nullptr;
    std::atomic<bool> aborted{false};
};

class NoAssembler : public ModelMessageAssembler {
public:
    std::vector<ModelMessageT> assemble(const PieceSource&, const SnapshotCallback&) override { return {}; }
};

ModelMessageT block(const std::string& metaType, const std::string& content, uint32_t tokens, bool partial = false) {
    ModelMessageT m;
    m.metaType = metaType;
    m.content = content;
    m.tokens = tokens;
    m.partial = partial;
    return m;
}

// An instance with a ScriptEngine installed.
struct ScriptedInstance {
    ScriptedInstance() {
        mivrel = makeTestMivrel("m1", "LLM", [](const std::string&) -> std::unique_ptr<MivrelEngine> {
            return std::make_unique<ScriptEngine>();
        });
        mivrel->ensureEngine();
    }
    ScriptEngine& engine() { return *static_cast<ScriptEngine*>(mivrel->engine.get()); }
    std::shared_ptr<Mivrel> mivrel;
};

TEST(ChatRequestTest, OptionsAreReadLeniently) {
    struct Case {
        json options;
        int think;
        bool stream;
    } cases[] = {
        {"yes", 1, false},  // not an object: every default
        {{{"think", 5}}, 2, false},
        {{{"think", -1}}, 0, false},
        {{{"think", true}}, 1, false},
        {{{"think", false}}, 0, false},
        {{{"think", 1.5}}, 1, false},
        {{{"think", "high"}}, 1, false},
        {{{"stream", true}, {"show_gen_status", "x"}}, 1, true},
    };
    for (const Case& c : cases) {
        MessagesRequest request;
        MessagesRequestError error;
        const json body = {{"conversationId", "c"}, {"messages", {{{"role", "user"}, {"content", "x"}}}}, {"options", c.options}};
        ASSERT_TRUE(parseMessagesRequest(body.dump(), request, error)) << error.message;
        EXPECT_EQ(request.turn.think, c.think) << c.options;
        EXPECT_EQ(request.stream, c.stream) << c.options;
        EXPECT_FALSE(request.turn.showGenStatus);
    }
}

TEST(ChatRequestTest, ControlAndMessagesCombinations) {
    struct Case {
        const char* body;
        bool ok;
        const char* action;
        bool hasMessages;
    } cases[] = {
        {R"({"conversationId":"c","messages":[],"conversation_control":{"action":"continue"}})", true, "continue", false},
        {R"({"conversationId":"c","conversation_control":null,"messages":[1]})", true, "", true},
        {R"({"conversationId":"c","conversation_control":{"action":"continue","message_id":null}})", true, "continue", false},
        {R"({"conversationId":"c","conversation_control":{"action":"close_thinking"},"messages":[{"role":"user","content":"x"}]})",
         true, "close_thinking", true},
        {R"({"conversationId":"c","messages":[]})", false, "", false},
    };
    for (const Case& c : cases) {
        MessagesRequest request;
        MessagesRequestError error;
        EXPECT_EQ(parseMessagesRequest(c.body, request, error), c.ok) << c.body << " " << error.message;
        if (!c.ok) continue;
        EXPECT_EQ(request.turn.action, c.action);
        EXPECT_EQ(request.turn.hasMessages, c.hasMessages);
    }
}

// Conversation and message ids are stored and served back in every status:
// bounded, with the limit itself accepted.
TEST(ChatRequestTest, IdLengthsAreBounded) {
    const auto body = [](const std::string& conversationId, const std::string& messageId) {
        nlohmann::json b = {{"conversationId", conversationId}};
        if (messageId.empty()) b["messages"] = nlohmann::json::array({1});
        else b["conversation_control"] = {{"action", "continue"}, {"message_id", messageId}};
        return b.dump();
    };
    const struct {
        std::string body;
        std::string error;  // empty: accepted
    } cases[] = {
        {body(std::string(256, 'c'), ""), ""},
        {body(std::string(257, 'c'), ""), "\"conversationId\" must be at most 256 bytes"},
        {body(std::string(60000, 'c'), ""), "\"conversationId\" must be at most 256 bytes"},
        {body("c", std::string(256, 'm')), ""},
        {body("c", std::string(257, 'm')), "\"conversation_control.message_id\" must be at most 256 bytes"},
    };
    for (const auto& c : cases) {
        MessagesRequest request;
        MessagesRequestError error;
        EXPECT_EQ(parseMessagesRequest(c.body, request, error), c.error.empty()) << error.message;
        EXPECT_EQ(error.message, c.error);
    }
}

TEST(ChatRequestTest, SamplingBoundsAreInclusiveAndTyped) {
    std::string error;
    EXPECT_TRUE(validateSamplingOptions({{"temperature", 0}, {"top_p", 1}, {"top_k", 1000000}, {"min_p", 0.5},
                                         {"seed", -1}, {"repeat_penalty", 1}, {"max_tokens", 300}, {"other", "x"}},
                                        300, error));
    EXPECT_TRUE(validateSamplingOptions({{"temperature", nullptr}}, 300, error)) << "null is skipped";
    EXPECT_FALSE(validateSamplingOptions({{"max_tokens", 301}}, 300, error));
    EXPECT_EQ(error, "\"max_tokens\" must be an integer between 1 and 300");
    // The first failing key in the fixed order decides.
    EXPECT_FALSE(validateSamplingOptions({{"max_tokens", 0}, {"top_p", 3}}, 300, error));
    EXPECT_EQ(error, "\"top_p\" must be a number between 0 and 1");
    EXPECT_FALSE(validateSamplingOptions({{"top_k", 18446744073709551615ULL}}, 300, error));
    EXPECT_EQ(error, "\"top_k\" must be an integer between 0 and 1000000");
}

TEST(ChatTurnTest, SpeedCountsTheGenerationAfterThePromptDecode) {
    // The generation's clock starts once the prompt is decoded: a reply that
    // took less time than its prompt decode still gets its speed, and the
    // decode time is not taken off twice.
    ScriptedInstance instance;
    instance.engine().stats.generatedTokens = 10;
    instance.engine().stats.prefillMs = 5000;
    ChatTurn turn;
    turn.genStartMs = nowMs() - 200;
    finishChatTurn(*instance.mivrel, "m1", "msg-1", turn, ReplyState());
    EXPECT_GT(instance.mivrel->lastTokensPerSec, 0.0);
    EXPECT_LE(instance.mivrel->lastTokensPerSec, 10 * 1000.0 / 200);
}

TEST(ChatTurnTest, ToolsReachTheRenderOptionsWhileTheyApply) {
    // Tools declared to a live context are not written again, but they still
    // apply: hasTools stays true, or Tolv and GPT-OSS prompts would address
    // the reply to the user and the model could not call a tool.
    const json tools = json::array({{{"name", "get_weather"}}});
    const std::string dump = tools.dump();
    const json other = json::array({{{"name", "get_time"}}});
    struct Case {
        const char* name;
        bool contextEmpty;
        std::string declared;
        json requestTools;
        bool sendTools, hasTools, forgetDeclared;
    } cases[] = {
        {"first request declares", true, "", tools, true, true, false},
        {"empty context declares again", true, dump, tools, true, true, false},
        {"follow-up with the same tools", false, dump, tools, false, true, false},
        {"follow-up without tools", false, dump, json::array(), false, true, false},
        {"follow-up with other tools", false, dump, other, true, true, false},
        {"no tools anywhere", false, "", json::array(), false, false, false},
        {"empty context without tools forgets", true, dump, json::array(), false, false, true},
        {"tools that are no array", false, "", json::object(), false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChatTurnRequest request;
        request.think = 2;
        request.tools = c.requestTools;
        const json prior = json::array({{{"id", "call_1"}, {"raw", "x"}}});
        const ChatToolPlan plan = chatToolPlan(request, c.contextEmpty, c.declared, prior);
        EXPECT_EQ(plan.sendTools, c.sendTools);
        EXPECT_EQ(plan.options.tools, c.sendTools ? c.requestTools : json::array());
        EXPECT_EQ(plan.options.hasTools, c.hasTools);
        EXPECT_EQ(plan.forgetDeclared, c.forgetDeclared);
        EXPECT_EQ(plan.toolsDump, c.requestTools.is_array() && !c.requestTools.empty() ? c.requestTools.dump() : "");
        EXPECT_EQ(plan.options.defaultSystem, c.contextEmpty);
        EXPECT_EQ(plan.options.think, 2);
        EXPECT_EQ(plan.options.priorToolCalls, prior);
    }
}

TEST(ChatUsageTest, StopReasonPhaseAndResumable) {
    ScriptedInstance instance;
    ScriptEngine& engine = instance.engine();
    struct Case {
        const char* stop;
        bool tracked, inThinking, turnOpen, partial;
        const char* phase;
        bool resumable;
    } cases[] = {
        {"eot", true, false, true, false, "answering", false},
        {"n_predict", true, true, true, false, "thinking", true},
        {"n_predict", false, false, true, false, "unknown", true},
        {"abort", false, false, false, false, "unknown", false},
        {"hardcap", false, false, true, true, "tool_call", true},
    };
    for (const Case& c : cases) {
        engine.stats.stopReason = c.stop;
        engine.stats.thinkingTracked = c.tracked;
        engine.stats.inThinking = c.inThinking;
        engine.turnOpen = c.turnOpen;
        UsageContext context;
        context.partialToolCall = c.partial;
        json usage = {{"input_tokens", 1}, {"output_tokens", 2}, {"elapsed_ms", 3}};
        makeUsageJson(usage, instance.mivrel.get(), &context);
        EXPECT_EQ(usage["phase"], c.phase) << c.stop;
        EXPECT_EQ(usage["resumable"], c.resumable) << c.stop;
        EXPECT_EQ(usage["stop_reason"], c.stop);
        EXPECT_FALSE(usage.contains("sampling")) << "null sampling is left out";
        EXPECT_FALSE(usage.contains("injected"));
    }

    engine.stats.thinkClosedBy = "budget";
    engine.sampling = {{"max_tokens", 9}};
    UsageContext shown;
    shown.showGenStatus = true;
    shown.thinkCloseInjected = true;
    shown.turnCloseInjected = true;
    shown.controlAction = "close_thinking";
    json usage = json::object();
    makeUsageJson(usage, instance.mivrel.get(), &shown);
    EXPECT_EQ(usage["injected"], json({"think_close", "turn_close", "think_close"}));
    EXPECT_EQ(usage["max_tokens_applied"], 9);
    EXPECT_EQ(usage["control_action"], "close_thinking");
    EXPECT_EQ(usage["sampling"], engine.sampling);

    json untouched = json::object();
    makeUsageJson(untouched, nullptr, &shown);
    auto bare = makeTestMivrel("m2");
    makeUsageJson(untouched, bare.get(), &shown);
    EXPECT_TRUE(untouched.empty());
}

TEST(ChatReplyTest, BlocksToolIdsAndTokenCounts) {
    ScriptedInstance instance;
    Mivrel& mivrel = *instance.mivrel;
    ReplyState state;
    state.toolIdPrefix = "call_5_";
    ToolCallRawSource source;
    const std::vector<ModelMessageT> blocks = {block("thought", "hmm", 4), block("message", "hi", 6),
                                               block("tool_call", "a", 9), block("tool_call", "b", 10),
                                               block("tool_call", "c", 12, true)};
    int sum = 0;
    for (const ModelMessageT& m : blocks) sum += appendContentBlock(m, state, source, mivrel);
    EXPECT_EQ(sum, 12);
    EXPECT_EQ(state.outputTokens, 12);
    EXPECT_EQ(mivrel.currentOutputTokens.load(), 12);
    EXPECT_EQ(mivrel.lifetimeOutputTokens.load(), 12);
    EXPECT_EQ(state.content[0], json({{"type", "thinking"}, {"thinking", "hmm"}, {"signature", ""}}));
    EXPECT_EQ(state.content[1], json({{"type", "text"}, {"text", "hi"}}));
    EXPECT_EQ(state.content[2]["id"], "call_5_0");
    EXPECT_EQ(state.content[3]["id"], "call_5_1");
    EXPECT_EQ(state.content[4], json({{"type", "tool_use"}, {"id", "call_5_2"}, {"raw", "c"}, {"partial", true}}));

    // A family's own end of a tool call means the call is complete.
    instance.engine().stats.stopReason = "eot";
    instance.engine().stats.stopTokenText = "<|call|>";
    EXPECT_FALSE(isPartialToolCall(block("tool_call", "x", 1, true), mivrel));
    instance.engine().stats.stopReason = "n_predict";
    EXPECT_TRUE(isPartialToolCall(block("tool_call", "x", 1, true), mivrel));
}

TEST(ChatReplyTest, ResumedToolCallCarriesTheEarlierPartOnce) {
    ToolCallRawSource source;
    source.isContinue = true;
    source.lastPhase = "tool_call";
    source.partialToolCallRaw = "<|channel|>commentary to=fn<|message|>{\"a\":";
    source.partialHead = "<|channel|>commentary to=fn<|message|>";
    EXPECT_EQ(toolCallRawText(block("tool_call", source.partialHead + "1}", 1), source),
              "<|channel|>commentary to=fn<|message|>{\"a\":1}");
    EXPECT_EQ(toolCallRawText(block("tool_call", "second", 2), source), "second") << "only the first merges";

    ToolCallRawSource fresh;
    EXPECT_EQ(toolCallRawText(block("tool_call", "plain", 1), fresh), "plain");
}

TEST(ChatGenerationTest, QueueDropsTextAfterFinish) {
    StreamQueue queue;
    queue.push("a");
    queue.push("b");
    std::string out;
    ASSERT_TRUE(queue.next(out));
    EXPECT_EQ(out, "ab");
    queue.finish();
    queue.push("c");
    EXPECT_FALSE(queue.next(out));
}

TEST(ChatGenerationTest, StreamedRunWritesDeltasAndBlocks) {
    ScriptedInstance instance;
    ScriptEngine& engine = instance.engine();
    engine.pieces = {{"<think>", "thought"}, {"hm", "thought"}, {"", "thought"}, {"Hi", "message"}, {"", "message"}};
    engine.blocks = {block("thought", "hm", 3), block("message", "Hi", 5)};
    NoAssembler assembler;
    ReplyState state;
    ToolCallRawSource source;
    GenerationRun run{*instance.mivrel, "m1", assembler, state, source};
    TestConnection connection;
    std::string error;
    ASSERT_TRUE(runStreamedGeneration(connection.handler(), run, &error)) << error;
    const std::string& wire = connection.wire();
    EXPECT_EQ(wire.find("<think>"), std::string::npos) << wire;
    EXPECT_NE(wire.find(R"({"delta":"hm","delta_index":0,"type":"thinking"})"), std::string::npos) << wire;
    EXPECT_NE(wire.find(R"({"delta":"Hi","delta_index":1,"type":"text"})"), std::string::npos) << "empty pieces skipped";
    EXPECT_EQ(wire.find("delta_index\":2"), std::string::npos);
    EXPECT_NE(wire.find("event: message.block_done\ndata: {\"elapsed_ms\":"), std::string::npos);
    EXPECT_NE(wire.find("\"token_count\":2,\"type\":\"text\""), std::string::npos);
    EXPECT_EQ(state.rawOutput, "<think>hmHi");
    EXPECT_EQ(wire.find("[DONE]"), std::string::npos) << "the caller ends the stream";
}

TEST(ChatGenerationTest, DeltaFrameIsTheJsonWritersFrame) {
    // The per-token frame is written without a JSON object; it must be the
    // frame the JSON writer gives, byte for byte, for any text a model writes.
    const std::string deltas[] = {
        "",
        "Hello, world/",
        "quote \" backslash \\ end",
        "\b\f\n\r\t",
        std::string("\x00\x01\x1f\x7f", 4),
        "Price: 5 \xE2\x82\xAC",
        "cut \xE2\x82",
        "overlong \xC0\xAF and surrogate \xED\xA0\x80",
    };
    int index = 0;
    for (const std::string& delta : deltas) {
        for (const char* type : {"text", "thinking"}) {
            SCOPED_TRACE(json(delta).dump(-1, ' ', true, json::error_handler_t::replace));
            const json payload = {{"delta", delta}, {"delta_index", index}, {"type", type}};
            EXPECT_EQ(formatDeltaEvent(delta, index, type),
                      formatSseEvent("message.delta", payload.dump(-1, ' ', false, json::error_handler_t::replace)));
            index += 997;
        }
    }
}

TEST(ChatGenerationTest, WorkerFailureIsReportedNotThrown) {
    ScriptedInstance instance;
    instance.engine().pieces = {{"a", "message"}};
    instance.engine().failWith = "decode failed";
    NoAssembler assembler;
    ReplyState state;
    ToolCallRawSource source;
    GenerationRun run{*instance.mivrel, "m1", assembler, state, source};
    TestConnection connection;
    std::string error;
    EXPECT_FALSE(runStreamedGeneration(connection.handler(), run, &error));
    EXPECT_EQ(error, "decode failed");
}

// A client gone mid-stream: the engine is stopped, the worker joined, and
// the write's failure passes on for the connection to end.
TEST(ChatGenerationTest, FailedWriteAbortsAndJoinsTheWorker) {
    ScriptedInstance instance;
    instance.engine().endless = true;
    NoAssembler assembler;
    ReplyState state;
    ToolCallRawSource source;
    GenerationRun run{*instance.mivrel, "m1", assembler, state, source};
    TestConnection connection;
    connection.failWrites();
    std::string error;
    EXPECT_THROW(runStreamedGeneration(connection.handler(), run, &error), IOException);
    EXPECT_TRUE(instance.engine().aborted.load());
    EXPECT_TRUE(instance.mivrel->abortRequested.load());
}

// A client that stops reading: once the socket buffers are full the writer
// waits on it. A stop (the instance's abort flag, as /stop and /unload set
// it) makes that write give up, so the worker is joined and the request ends
// instead of pinning the instance for as long as the client keeps the socket.
TEST(ChatGenerationTest, StopFreesAWriterBlockedOnAClientThatStoppedReading) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const int shrunk = 4096;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &shrunk, sizeof shrunk);
    PeerImpl peer(ends[0], -1, -1);  // no time-outs of its own: only the stop can end the write
    HttpRequestHandler handler("", "", &peer, peer.getInputStream(), peer.getOutputStream());

    ScriptedInstance instance;
    instance.engine().endless = true;
    NoAssembler assembler;
    ReplyState state;
    ToolCallRawSource source;
    GenerationRun run{*instance.mivrel, "m1", assembler, state, source};
    std::promise<int> outcome;  // the failure's code, 0 when it returned
    std::thread request([&] {
        try {
            std::string error;
            runStreamedGeneration(handler, run, &error);
            outcome.set_value(0);
        } catch (const IOException& e) {
            outcome.set_value(e.code());
        }
    });
    std::future<int> result = outcome.get_future();
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout)
        << "the writer waits for the client while the reply goes on";
    instance.mivrel->abortRequested.store(true);
    const bool ended = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) ::shutdown(ends[1], SHUT_RDWR);  // unblock it so the test can end
    request.join();
    ::close(ends[1]);
    ASSERT_TRUE(ended) << "the stop did not free the blocked writer";
    EXPECT_EQ(result.get(), 10060);
    EXPECT_TRUE(instance.engine().aborted.load()) << "the generation was stopped and its worker joined";
}

}  // namespace
