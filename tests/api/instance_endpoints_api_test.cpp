// The instance endpoints against fake engines: what status views show
// without touching a busy engine, how stop and unload move the state, that
// reset, switch-conversation and tokenize never use an engine another request
// holds, and how raw prompt streaming groups tokens into whole characters.
#include <chrono>
#include <thread>

#include "api/instance_control.h"
#include "api/instance_list.h"
#include "api/instance_status.h"
#include "api/raw_prompt_stream.h"
#include "instance_api_fixture.h"

namespace instance_api {
namespace {

using nlohmann::json;

RawToken raw(int32_t id, std::string piece, bool control = false, bool eog = false) {
    RawToken token;
    token.token = id;
    token.piece = std::move(piece);
    token.isControl = control;
    token.isEog = eog;
    return token;
}

std::vector<std::pair<std::string, json>> events(const std::string& body) {
    std::vector<std::pair<std::string, json>> list;
    size_t pos = 0;
    while ((pos = body.find("event: ", pos)) != std::string::npos) {
        const size_t nameEnd = body.find('\n', pos);
        const size_t dataStart = body.find("data: ", nameEnd) + 6;
        const size_t dataEnd = body.find("\n\n", dataStart);
        list.emplace_back(body.substr(pos + 7, nameEnd - pos - 7),
                          json::parse(body.substr(dataStart, dataEnd - dataStart), nullptr, false));
        pos = dataEnd;
    }
    return list;
}

using InstanceStatusView = InstanceApiTest;

TEST_F(InstanceStatusView, ContextFiguresFromTheRecordedStatistics) {
    struct Case {
        int32_t size;
        int64_t used;
        int64_t remain;
        int64_t pct;
    };
    for (const Case& c : {Case{4096, 1000, 3096, 24}, Case{4096, 4096, 0, 100}, Case{4096, 0, 4096, 0},
                          Case{0, 0, 0, 0}}) {
        script_->stats = ContextStats{c.size, 0, c.used, 777};
        const auto mivrel = add("s" + std::to_string(c.used) + "_" + std::to_string(c.size));
        load(mivrel);
        const json status = mivrelStatusDocument(*mivrel, mivrel->config.id);
        EXPECT_EQ(status["context_size"], c.size);
        EXPECT_EQ(status["context_used"], c.used);
        EXPECT_EQ(status["context_remain"], c.remain) << c.used;
        EXPECT_EQ(status["context_used_pct"], c.pct) << c.used;
        EXPECT_EQ(status["kv_cache_bytes"], 777);
        EXPECT_EQ(status["sampling"], (json{{"temperature", 0.8}}));
        EXPECT_EQ(status["loaded"], true);
        EXPECT_FALSE(status.contains("voices"));
    }
}

TEST_F(InstanceStatusView, NeverAsksAnEngineThatARequestHolds) {
    const auto mivrel = add("busy");
    script_->stats = ContextStats{512, 0, 10, 1};
    load(mivrel);
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    {
        std::lock_guard<std::mutex> lock(script_->mu);
        script_->stats.usedCells = 300;  // the running request fills the context
    }
    mivrel->conversationId = "c-new";
    const int callsBefore = script_->statsCalls.load();

    const Written during = call(handleStatus, "busy");
    EXPECT_EQ(script_->statsCalls.load(), callsBefore) << "the status view did not call the engine";
    EXPECT_EQ(during.json()["status"], "busy");
    EXPECT_EQ(during.json()["context_used"], 10) << "the figures recorded when the last claim ended";
    EXPECT_EQ(during.json()["conversationId"], nullptr);
    EXPECT_EQ(call(handleModelInfo, "busy").json()["is_loaded"], true);
    EXPECT_EQ(script_->statsCalls.load(), callsBefore);

    claim.release();
    const json after = call(handleStatus, "busy").json();
    EXPECT_EQ(after["status"], "idle");
    EXPECT_EQ(after["context_used"], 300);
    EXPECT_EQ(after["conversationId"], "c-new");
}

TEST_F(InstanceStatusView, SpeechInstancesShowTheirVoices) {
    script_->capabilities = {{"default_voice", "ava"}, {"max_seconds", 30}, {"model_type", "tts"},
                             {"sample_rate", 24000},   {"voice_clone", true}, {"voices", {"ava", "bo"}}};
    const auto mivrel = add("talk", "AUDIO");
    EXPECT_FALSE(mivrelStatusDocument(*mivrel, "talk").contains("voices")) << "not loaded";
    load(mivrel);
    const json status = mivrelStatusDocument(*mivrel, "talk");
    EXPECT_EQ(status["voices"], (json{"ava", "bo"}));
    EXPECT_EQ(status["default_voice"], "ava");
    EXPECT_EQ(status["voice_clone"], true);
    EXPECT_EQ(status["sample_rate"], 24000);
    EXPECT_FALSE(status.contains("max_seconds"));
    const json info = call(handleModelInfo, "talk").json();
    EXPECT_EQ(info["speech"], script_->capabilities);
    EXPECT_FALSE(info.contains("assembler"));
}

TEST_F(InstanceStatusView, UnloadForgetsTheRecordedFigures) {
    const auto mivrel = add("u");
    script_->stats = ContextStats{512, 0, 40, 9};
    load(mivrel);
    EXPECT_EQ(call(handleUnload, "u").json()["message"], "unloaded");
    const json status = call(handleStatus, "u").json();
    EXPECT_EQ(status["loaded"], false);
    EXPECT_EQ(status["context_size"], 0);
    EXPECT_FALSE(status.contains("sampling"));
}

TEST_F(InstanceStatusView, EmptyList) {
    FakeInput input("");
    FakeOutput output;
    HttpRequestHandler connection("", "", nullptr, &input, &output);
    Request request;
    Response response;
    handleListMivrels(services_, connection, request, response);
    EXPECT_EQ(parseWritten(output.written).body, "{\n  \"mivrels\": []\n}");
}

using InstanceStopApi = InstanceApiTest;

TEST_F(InstanceStopApi, MovesOnlyARunningInstanceToStopping) {
    struct Case {
        int state;
        bool loaded;
        const char* message;
        int stateAfter;
    };
    const Case cases[] = {
        {kMivrelRunning, true, "inference stopped", kMivrelStopping},
        {kMivrelIdle, true, "already stopped", kMivrelIdle},
        {kMivrelLoading, true, "already stopped", kMivrelLoading},
        {kMivrelStopping, true, "already stopped", kMivrelStopping},
        {kMivrelRunning, false, "already stopped", kMivrelRunning},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string id = "stop" + std::to_string(n++);
        const auto mivrel = add(id);
        if (c.loaded) load(mivrel);
        mivrel->state.store(c.state);
        const int abortsBefore = script_->abortCalls.load();
        const Written reply = call(handleStop, id, "{}");
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.json(), (json{{"message", c.message}, {"mivrelId", id}, {"ok", true}})) << id;
        EXPECT_EQ(mivrel->state.load(), c.stateAfter) << id;
        const bool stopped = std::string(c.message) == "inference stopped";
        EXPECT_EQ(mivrel->abortRequested.load(), stopped) << id;
        EXPECT_EQ(script_->abortCalls.load() - abortsBefore, stopped ? 1 : 0) << id;
        mivrel->state.store(kMivrelIdle);
    }
}

using InstanceUnloadApi = InstanceApiTest;

TEST_F(InstanceUnloadApi, WaitsForTheRunningRequestToEnd) {
    const auto mivrel = add("w");
    load(mivrel);
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    // The request polls its abort flag and ends like a generation would.
    std::thread request([&] {
        while (!mivrel->abortRequested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        claim.release();
    });
    const Written reply = call(handleUnload, "w");
    request.join();
    EXPECT_EQ(reply.json()["message"], "unloaded");
    EXPECT_FALSE(mivrel->hasEngine());
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    EXPECT_GE(script_->abortCalls.load(), 1);
}

TEST_F(InstanceUnloadApi, GivesUpAfterFiveSecondsAndKeepsTheEngine) {
    const auto mivrel = add("stuck");
    load(mivrel);
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    const Written reply = call(handleUnload, "stuck");
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(reply.body, "{\"error\":{\"code\":\"mivrel_inferring\",\"httpStatus\":409,\"message\":\"Inference did not "
                          "stop in time; unload aborted\"}}");
    EXPECT_TRUE(mivrel->hasEngine());
    EXPECT_EQ(mivrel->state.load(), kMivrelStopping);
    claim.release();
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle) << "the request's end frees it; nothing stays stopping";
    EXPECT_EQ(call(handleUnload, "stuck").json()["message"], "unloaded");
}

using InstanceClaimsApi = InstanceApiTest;

TEST_F(InstanceClaimsApi, EngineUsersWaitTheirTurn) {
    const auto mivrel = add("held");
    load(mivrel);
    MivrelClaim claim = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(claim);
    struct Case {
        Handler handler;
        const char* body;
    };
    for (const Case& c : {Case{handleReset, ""}, Case{handleSwitchConversation, "{\"conversationId\": \"x\"}"},
                          Case{handleTokenize, "{\"text\": \"ab\"}"}, Case{rawPromptStream, "{\"rawPrompt\": \"a\"}"}}) {
        const Written reply = call(c.handler, "held", c.body);
        EXPECT_EQ(reply.status, 409) << c.body;
        EXPECT_EQ(reply.json()["error"]["message"], "Inference in progress") << c.body;
    }
    EXPECT_EQ(script_->resetContextCalls.load(), 0);
    EXPECT_EQ(script_->resetSamplerCalls.load(), 0);
    EXPECT_EQ(script_->tokenizeCalls.load(), 0);
    EXPECT_EQ(mivrel->conversationId, "");
    claim.release();
}

TEST_F(InstanceClaimsApi, ResetClearsTheSessionAndKeepsTheConversation) {
    const auto mivrel = add("r");
    load(mivrel);
    mivrel->conversationId = "c1";
    mivrel->lastResponseId = "msg-1";
    mivrel->openResponseId = "msg-1";
    mivrel->openPhase = "answering";
    mivrel->generationIndex = 3;
    mivrel->sessionOutputTokens = 40;
    mivrel->totalOutputTokens = 90;
    const Written reply = call(handleReset, "r");
    EXPECT_EQ(reply.body, "{\n  \"message\": \"context reset\",\n  \"mivrelId\": \"r\",\n  \"ok\": true\n}");
    EXPECT_EQ(script_->resetContextCalls.load(), 1);
    EXPECT_EQ(mivrel->generationIndex, 0);
    EXPECT_EQ(mivrel->sessionOutputTokens.load(), 0);
    EXPECT_EQ(mivrel->totalOutputTokens.load(), 90);
    EXPECT_EQ(mivrel->openResponseId, "");
    EXPECT_EQ(mivrel->openPhase, "");
    EXPECT_EQ(mivrel->conversationId, "c1");
    EXPECT_EQ(mivrel->lastResponseId, "msg-1");
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
}

TEST_F(InstanceClaimsApi, SwitchConversationRebuildsTheSamplerOnlyWhenLoaded) {
    const auto mivrel = add("sw");
    mivrel->lastResponseId = "msg-1";
    EXPECT_EQ(call(handleSwitchConversation, "sw", "{\"conversationId\": \"c2\"}").json()["message"],
              "conversationId changed to c2");
    EXPECT_EQ(script_->resetSamplerCalls.load(), 0);
    EXPECT_EQ(mivrel->lastResponseId, "");
    EXPECT_EQ(call(handleStatus, "sw").json()["conversationId"], "c2") << "shown while not loaded";
    load(mivrel);
    call(handleSwitchConversation, "sw", "{}");
    EXPECT_EQ(script_->resetSamplerCalls.load(), 1);
    EXPECT_EQ(mivrel->conversationId, "");
}

TEST_F(InstanceClaimsApi, TokenizeLoadsOnceWithAutoLoad) {
    const auto mivrel = add("t");
    const Written loaded = call(handleTokenize, "t", "{\"text\": \"ab\", \"options\": {\"autoLoad\": true}}");
    EXPECT_EQ(loaded.body, "{\n  \"count\": 2,\n  \"mivrelId\": \"t\",\n  \"tokens\": [\n    97,\n    98\n  ]\n}");
    EXPECT_TRUE(mivrel->hasEngine());
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    call(handleTokenize, "t", "{\"text\": \"c\", \"options\": {\"autoLoad\": true}}");
    EXPECT_EQ(script_->made.load(), 1);
}

TEST_F(InstanceClaimsApi, ConcurrentStatusViewsAndEngineUsers) {
    const auto mivrel = add("race");
    load(mivrel);
    std::atomic<bool> done{false};
    std::thread user([&] {
        for (int i = 0; i < 300; ++i) {
            const Written reply = call(i % 2 ? handleTokenize : handleReset, "race", "{\"text\": \"abc\"}");
            (void)reply;
            std::this_thread::yield();
        }
        done = true;
    });
    std::thread stopper([&] {
        while (!done) call(handleStop, "race", "{}");
    });
    while (!done) {
        const json status = call(handleStatus, "race").json();
        ASSERT_TRUE(status["status"] == "idle" || status["status"] == "busy");
    }
    user.join();
    stopper.join();
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle) << "no stop left the instance stopping";
}

using RawPromptStreamApi = InstanceApiTest;

TEST_F(RawPromptStreamApi, GroupsTokensIntoWholeCharacters) {
    add("raw");
    script_->tokens = {raw(1, "Hi"), raw(2, "\xE2"), raw(3, "\x82"), raw(4, "\xAC!"), raw(5, "<|im_start|>", true),
                       raw(6, "<|im_end|>", true, true)};
    const Written reply = call(rawPromptStream, "raw", "{\"rawPrompt\": \"go\"}");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_NE(reply.head.find("Content-Type: text/event-stream"), std::string::npos);
    const auto list = events(reply.body);
    ASSERT_EQ(list.size(), 5u) << reply.body;
    EXPECT_EQ(list[0].second.dump(), R"({"hasEog":false,"hasSpecial":false,"text":"Hi","tokenIds":[1]})");
    EXPECT_EQ(list[1].second.dump(), "{\"hasEog\":false,\"hasSpecial\":false,\"text\":\"\xE2\x82\xAC!\",\"tokenIds\":[2,3,4]}");
    EXPECT_EQ(list[2].second["hasSpecial"], true);
    EXPECT_EQ(list[3].second["hasEog"], true);
    EXPECT_EQ(list[4].first, "done");
    EXPECT_EQ(list[4].second["tokenCount"], 4);
    EXPECT_EQ(reply.body.substr(reply.body.size() - 14), "data: [DONE]\n\n");
}

TEST_F(RawPromptStreamApi, AnUnfinishedCharacterEndsAsHex) {
    add("cut");
    script_->tokens = {raw(1, "a"), raw(2, "\xE2\x82")};
    const Written reply = call(rawPromptStream, "cut", "{\"rawPrompt\": \"go\"}");
    const auto list = events(reply.body);
    ASSERT_EQ(list.size(), 3u) << reply.body;
    EXPECT_EQ(list[1].second.dump(),
              R"({"hasEog":false,"hasSpecial":false,"incomplete":true,"text":"","textHex":"e282","tokenIds":[2]})");
    EXPECT_EQ(list[2].second["tokenCount"], 2);
}

TEST_F(RawPromptStreamApi, BytesThatCanNeverBeTextGoOutAsHexAndTheStreamGoesOn) {
    // Over-long forms, surrogates and stray continuation bytes pass a check
    // by lead-byte shape but not the JSON writer: they must not end the
    // stream, nor wait for bytes that cannot help.
    add("bad");
    script_->tokens = {raw(1, "\xC0\xAF"), raw(2, "\xED\xA0"), raw(3, "\x80ok"), raw(4, "\xE2\x82"), raw(5, "\xAC")};
    const Written reply = call(rawPromptStream, "bad", "{\"rawPrompt\": \"go\"}");
    const auto list = events(reply.body);
    ASSERT_EQ(list.size(), 5u) << reply.body;
    EXPECT_EQ(list[0].second.dump(), R"({"hasEog":false,"hasSpecial":false,"text":"","textHex":"c0af","tokenIds":[1]})");
    EXPECT_EQ(list[1].second.dump(), R"({"hasEog":false,"hasSpecial":false,"text":"","textHex":"eda0","tokenIds":[2]})");
    EXPECT_EQ(list[2].second["textHex"], "806f6b");
    EXPECT_EQ(list[3].second.dump(), "{\"hasEog\":false,\"hasSpecial\":false,\"text\":\"\xE2\x82\xAC\",\"tokenIds\":[4,5]}");
    EXPECT_EQ(list[4].first, "done");
    EXPECT_EQ(list[4].second["tokenCount"], 4);
    EXPECT_EQ(reply.body.substr(reply.body.size() - 14), "data: [DONE]\n\n");
}

TEST_F(RawPromptStreamApi, StopEndsTheLoopAndTheStreamStillCloses) {
    const auto mivrel = add("long");
    script_->tokens = {raw(1, "a")};
    script_->blockWhenEmpty = true;
    std::thread stopper([&] {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(script_->mu);
                if (script_->tokens.empty() && mivrel->state.load() == kMivrelRunning) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        call(handleStop, "long", "{}");
    });
    const Written reply = call(rawPromptStream, "long", "{\"rawPrompt\": \"go\"}");
    stopper.join();
    const auto list = events(reply.body);
    ASSERT_EQ(list.size(), 2u) << reply.body;
    EXPECT_EQ(list[1].first, "done");
    EXPECT_EQ(reply.body.substr(reply.body.size() - 14), "data: [DONE]\n\n");
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
}

TEST_F(RawPromptStreamApi, EngineFailures) {
    const auto mivrel = add("fail");
    script_->tokens = {raw(1, "a")};
    script_->throwOnFetch = true;
    const Written during = call(rawPromptStream, "fail", "{\"rawPrompt\": \"go\"}");
    const auto list = events(during.body);
    ASSERT_EQ(list.size(), 2u) << during.body;
    EXPECT_EQ(list[1].first, "error");
    EXPECT_EQ(list[1].second, (json{{"message", "decode failed (ret=-1)"}}));
    EXPECT_EQ(during.body.substr(during.body.size() - 14), "data: [DONE]\n\n");
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);

    script_->throwOnTokenize = true;
    const Written before = call(rawPromptStream, "fail", "{\"rawPrompt\": \"go\"}");
    EXPECT_EQ(before.status, 500);
    EXPECT_EQ(before.json()["error"]["code"], "internal_error");
    EXPECT_EQ(before.json()["error"]["message"], "tokenize failed: prompt is too long (ret=-9)");
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
}

TEST(RawPromptStreamLog, EscapeForLog) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\nb", "a\\nb"}, {"\r\t", "\\r\\t"}, {"\xE2\x82\xAC", "\xE2\x82\xAC"}, {"\xE2\x82", "hex:e282"}, {"", ""},
    };
    for (const auto& [piece, logged] : cases) EXPECT_EQ(escapeForLog(piece), logged);
}

}  // namespace
}  // namespace instance_api
