#include <gtest/gtest.h>

#include <string>

#include "api/event_stream.h"
#include "api/inference_text.h"
#include "api/request_release.h"
#include "api_test_util.h"
#include "base/text_util.h"
#include "net/io_exception.h"

namespace {

// The payloads of every chunk in `wire` (which holds no head), in order.
std::vector<std::string> chunks(const std::string& wire) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < wire.size()) {
        const size_t lineEnd = wire.find("\r\n", pos);
        if (lineEnd == std::string::npos) break;
        const size_t size = std::stoul(wire.substr(pos, lineEnd - pos), nullptr, 16);
        if (size == 0) {
            out.push_back("<end>");
            break;
        }
        out.push_back(wire.substr(lineEnd + 2, size));
        pos = lineEnd + 2 + size + 2;
    }
    return out;
}

TEST(InferenceTextTest, IsoTimesAndMessageIds) {
    struct Case {
        int64_t ms;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {250, "1970-01-01T00:00:00.250Z"},
        {1700000000123, "2023-11-14T22:13:20.123Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatIsoTimeMs(c.ms), c.text) << c.ms;

    const int64_t before = nowMs();
    const std::string id = newMessageId();
    const int64_t after = nowMs();
    ASSERT_EQ(id.rfind("msg-", 0), 0u);
    const int64_t ms = std::stoll(id.substr(4));
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
    EXPECT_EQ(nowIsoTimeMs().size(), 24u);
}

TEST(InferenceTextTest, RightTrimAndTrimmedEndings) {
    EXPECT_EQ(rtrim(" \t\r\n"), "");
    EXPECT_EQ(rtrim(""), "");
    EXPECT_EQ(rtrim("a \n"), "a");
    EXPECT_EQ(rtrim(" a"), " a");

    struct Case {
        const char* a;
        const char* b;
        bool expected;
    } cases[] = {
        {"<|im_start|>assistant\n<think>\n", "<think>", true},
        {"abc<think>", "<think>\n", true},
        {"abc", "", false},
        {"abc", " \n", false},
        {"ab", "xab", false},
        {"<think>x", "<think>", false},
    };
    for (const Case& c : cases) EXPECT_EQ(endsWithTrimmed(c.a, c.b), c.expected) << c.a << " / " << c.b;
}

TEST(EventStreamTest, EventsAreWrittenOnlyWhenStreaming) {
    TestConnection connection;
    bool stream = false;
    SseTarget target{stream, connection.handler()};
    nlohmann::ordered_json payload = {{"z", 1}, {"a", "x"}};
    sendSseEvent(target, "message.created", payload);
    EXPECT_EQ(connection.wire(), "");

    // The flag is read at each call.
    stream = true;
    sendSseEvent(target, std::string("message.created"), payload);
    EXPECT_EQ(chunks(connection.wire()),
              (std::vector<std::string>{"event: message.created\ndata: {\"z\":1,\"a\":\"x\"}\n\n"}));
}

TEST(EventStreamTest, BrokenUtf8InAPayloadIsReplacedNotFatal) {
    TestConnection connection;
    bool stream = true;
    sendSseEvent(SseTarget{stream, connection.handler()}, "message.delta", {{"delta", std::string("a\xff")}});
    EXPECT_NE(connection.wire().find("a\xef\xbf\xbd"), std::string::npos);
}

TEST(EventStreamTest, ErrorReportersEndTheStreamOrAnswerJson) {
    {
        TestConnection connection;
        bool stream = true;
        Response response;
        ReplyContext reply(stream, "m1", connection.handler(), response);
        reply.sendMessageError(400, "bad_request", "nope");
        EXPECT_EQ(chunks(connection.wire()),
                  (std::vector<std::string>{
                      "event: message.error\ndata: {\"error\":{\"code\":\"bad_request\",\"message\":\"nope\"}}\n\n",
                      "data: [DONE]\n\n", "<end>"}));
    }
    {
        TestConnection connection;
        bool stream = false;
        Response response;
        ReplyContext reply(stream, "m1", connection.handler(), response);
        reply.sendMessageError(409, "mivrel_inferring", "Inference in progress");
        EXPECT_EQ(connection.wire().rfind("HTTP/1.1 409 Conflict\r\n", 0), 0u) << connection.wire();
        EXPECT_NE(connection.wire().find(
                      "{\"error\":{\"code\":\"mivrel_inferring\",\"httpStatus\":409,\"message\":\"Inference in progress\"}}"),
                  std::string::npos);
    }
}

TEST(EventStreamTest, InitFailedCarriesScopeAndElapsedTime) {
    TestConnection connection;
    bool stream = true;
    Response response;
    ReplyContext reply(stream, "m1", connection.handler(), response);
    reply.sendInitFailed("model", nowMs() - 5000, "cannot load");
    const std::vector<std::string> got = chunks(connection.wire());
    ASSERT_EQ(got.size(), 3u);
    const std::string prefix = "event: mivrel.init_failed\ndata: ";
    ASSERT_EQ(got[0].rfind(prefix, 0), 0u);
    const auto payload = nlohmann::ordered_json::parse(got[0].substr(prefix.size()));
    std::vector<std::string> keys;
    for (auto it = payload.begin(); it != payload.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"mivrelId", "scope", "error", "elapsed_ms"}));
    EXPECT_EQ(payload["error"], nlohmann::ordered_json::parse(R"({"code":"mivrel_init_fail","message":"cannot load"})"));
    EXPECT_GE(payload["elapsed_ms"].get<int64_t>(), 5000);
    EXPECT_EQ(got[1], "data: [DONE]\n\n");

    TestConnection plain;
    bool noStream = false;
    ReplyContext plainReply(noStream, "m1", plain.handler(), response);
    plainReply.sendInitFailed("model", nowMs(), "cannot load");
    EXPECT_EQ(plain.wire().rfind("HTTP/1.1 500 ", 0), 0u);
    EXPECT_NE(plain.wire().find("\"code\":\"mivrel_init_fail\""), std::string::npos);
}

// The release runs before the reporters write, so no client can see the end
// of a reply while the instance still looks busy.
TEST(EventStreamTest, ReportersReleaseTheInstanceBeforeWriting) {
    auto mivrel = makeTestMivrel("m1");
    RequestRelease release;
    release.arm(MivrelClaim::acquire(mivrel, ClaimKind::kRun));
    ASSERT_EQ(mivrel->state.load(), kMivrelRunning);

    TestConnection connection;
    connection.failWrites();
    bool stream = true;
    Response response;
    ReplyContext reply(stream, "m1", connection.handler(), response);
    reply.release = &release;
    EXPECT_THROW(reply.sendMessageError(500, "internal_error", "x"), IOException);
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    EXPECT_FALSE(release.armed());
}

class ReleaseAfterRequestTest : public ::testing::Test {};

TEST_F(ReleaseAfterRequestTest, PolicyFamilyAndEngineDecideBetweenIdleAndUnload) {
    struct Case {
        const char* family;
        const char* policy;
        bool loaded;
        bool unloaded;
    } cases[] = {
        {"LLM", "after_generate", true, true},
        {"", "after_generate", true, true},
        {"DECISION", "after_generate", true, true},
        {"AUDIO", "after_generate", true, false},
        {"IMAGE", "after_generate", true, false},
        {"VIDEO", "after_generate", true, false},
        {"LLM", "keep", true, false},
        {"LLM", "after_generate", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.family) + " " + c.policy + (c.loaded ? " loaded" : " unloaded"));
        auto mivrel = makeTestMivrel("m1", c.family, stubEngines());
        mivrel->config.loadSettings.params = {{"release_policy", c.policy}};
        if (c.loaded) {
            ASSERT_TRUE(mivrel->ensureEngine());
        }
        mivrel->conversationId = "conv";
        mivrel->lastActiveAt.store(1);
        {
            RequestRelease release;
            release.arm(MivrelClaim::acquire(mivrel, ClaimKind::kRun));
            ASSERT_TRUE(release.armed());
        }
        EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
        EXPECT_EQ(mivrel->hasEngine(), c.loaded && !c.unloaded);
        if (c.unloaded) {
            EXPECT_EQ(mivrel->conversationId, "");
        } else {
            EXPECT_GT(mivrel->lastActiveAt.load(), 1);
        }
    }
}

TEST_F(ReleaseAfterRequestTest, RunsOnceAndAnEmptyGuardDoesNothing) {
    auto mivrel = makeTestMivrel("m1");
    RequestRelease empty;
    empty.run();
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);

    RequestRelease release;
    release.arm(MivrelClaim::acquire(mivrel, ClaimKind::kRun));
    release.run();
    EXPECT_EQ(mivrel->state.load(), kMivrelIdle);
    // Someone else claims it now; a second run must not take that away.
    MivrelClaim other = MivrelClaim::acquire(mivrel, ClaimKind::kRun);
    ASSERT_TRUE(other);
    release.run();
    EXPECT_EQ(mivrel->state.load(), kMivrelRunning);
}

}  // namespace
