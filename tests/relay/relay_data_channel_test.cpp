// Relayed requests over data channels, in memory and socket mode, against a
// real local HTTP server: what comes back equals what a local client gets,
// the access guard sees relayed requests as relayed and local ones as local,
// channels are bounded and a stop lets the reply in flight finish.
#include "base/captured_log.h"
#include "net/access_guard.h"
#include "relay/relay_threads.h"
#include "relay_test_support.h"

namespace relaytest {
namespace {

std::string getList(const std::string& extraHeaders = "") {
    return "GET /v1/mivrels HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "Connection: close\r\n\r\n";
}

std::string postChat() {
    const std::string body = R"({"messages":[{"role":"user","content":"hi"}],"options":{"stream":true}})";
    return "POST /v1/mivrel/chat/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class RelayDataChannel : public RelayTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RelayDataChannel, RelayedRepliesEqualLocalOnesAndTheGuardKnowsWhichIsWhich) {
    CapturedLog log;
    startClient(config(GetParam()));
    ASSERT_TRUE(relay_->waitAuthenticated(1));

    // The same handlers answer below "/mgmt-api/", which a local client may
    // call: the references.
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {getList(), "/mgmt-api/list"}, {postChat(), "/mgmt-api/stream"}};
    for (const auto& [request, localPath] : pairs) {
        std::string localRequest = request;
        const size_t target = localRequest.find(' ') + 1;
        localRequest.replace(target, localRequest.find(' ', target) - target, localPath);
        const std::string reference = local(localRequest);
        ASSERT_EQ(reference.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reference;
        const std::optional<std::string> relayed = relay_->relay(request);
        ASSERT_TRUE(relayed.has_value());
        EXPECT_TRUE(*relayed == reference) << *relayed;
    }
    // Keep-alive: two exchanges over one data channel.
    const std::optional<std::string> two =
        relay_->relay("GET /v1/mivrels HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + getList());
    ASSERT_TRUE(two.has_value());
    EXPECT_NE(two->find("HTTP/1.1 200 OK"), two->rfind("HTTP/1.1 200 OK")) << *two;
    EXPECT_EQ(two->substr(two->size() - listBody().size()), listBody());

    // The inference API is closed to local clients: a local request is
    // refused whatever it claims, and a relayed one passes whatever it carries.
    const std::string claim = "Origin: https://relay.example\r\nX-Forwarded-For: 1.2.3.4\r\nVia: relay\r\n";
    EXPECT_EQ(local(getList(claim)).rfind("HTTP/1.1 403 ", 0), 0u);
    const std::optional<std::string> relayed = relay_->relay(
        "GET /v1/mivrels HTTP/1.1\r\nHost: remote.example\r\nOrigin: https://app.example\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(relayed.has_value());
    EXPECT_EQ(relayed->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *relayed;

    // What the server refuses, it refuses through the relay too.
    runtimeprops::brisvaneExport = false;
    const std::optional<std::string> off = relay_->relay(getList());
    ASSERT_TRUE(off.has_value());
    EXPECT_EQ(off->rfind("HTTP/1.1 503 ", 0), 0u) << *off;
    const std::optional<std::string> unknown =
        relay_->relay("GET /nothing/here HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(unknown.has_value());
    EXPECT_EQ(unknown->rfind("HTTP/1.1 404 ", 0), 0u) << *unknown;

    const std::vector<std::string> inits = relay_->dataInits();
    ASSERT_FALSE(inits.empty());
    EXPECT_EQ(inits[0], "DATA_CHANNEL_INIT request_id=1");
    EXPECT_TRUE(eventually([&] { return log.contains("event=DATA_CHANNEL_DONE msg=rid=1 bytes_local_to_tls="); }))
        << log.text();
    EXPECT_LT(stopClient(), 1000ms);
    EXPECT_TRUE(eventually([] { return mivrelable::rtc::memoryServeThreadCount() == 0; }));
}

TEST_P(RelayDataChannel, AStopLetsTheReplyInFlightFinish) {
    // The handler stops the relay that carries its own request (as "down"
    // through the relay does) and still answers through it.
    setListHook([this] {
        client_->requestStop();
        std::this_thread::sleep_for(100ms);
    });
    startClient(config(GetParam()));
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    const std::optional<std::string> reply = relay_->relay(getList());
    ASSERT_TRUE(reply.has_value());
    EXPECT_NE(reply->find(listBody()), std::string::npos) << *reply;
    EXPECT_TRUE(eventually([&] { return returned_.load(); }, 5000ms));
}

INSTANTIATE_TEST_SUITE_P(Modes, RelayDataChannel, ::testing::Values("memory", "socket"));

TEST_F(RelayTest, OpenDataChannelsAreBoundedAndEndWithTheStop) {
    CapturedLog log;
    RtcConfig cfg = config("memory");
    cfg.max_data_channels = 2;
    cfg.stop_grace_ms = 300;
    startClient(cfg);
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    // Requests that never end: each holds its channel open.
    for (uint64_t id = 1; id <= 3; ++id) relay_->announceHeld(id, "GET /v1/mivrels HTTP/1.1\r\nHost: x\r\n");
    EXPECT_TRUE(eventually([&] { return log.contains("too_many_data_channels"); })) << log.text();
    EXPECT_TRUE(eventually([&] { return relay_->openDataConnections() == 2; }));
    EXPECT_EQ(relay_->dataInits().size(), 2u);
    EXPECT_LT(stopClient(), 3000ms) << "the stop waits for the channels only for their grace time";
    EXPECT_TRUE(eventually([&] { return relay_->openDataConnections() == 0; }));
    EXPECT_TRUE(eventually([] { return mivrelable::rtc::memoryServeThreadCount() == 0; }));
}

TEST_F(RelayTest, SocketModeRegistersItsLocalEndOnlyWhileOpenAndReportsARefusedLocalPort) {
    // Made before any connection thread logs: it re-points the logger.
    CapturedLog log;
    std::mutex mutex;
    std::vector<std::pair<uint16_t, bool>> calls;
    RtcConfig cfg = config("socket");
    cfg.on_local_port = [&](uint16_t port, bool add) {
        setRelayPort("127.0.0.1", port, add);
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back({port, add});
    };
    startClient(cfg);
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    const std::optional<std::string> reply = relay_->relay(getList());
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << "relayed in socket mode although /v1 is closed locally";
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size() == 2;
    }));
    EXPECT_EQ(calls[0].first, calls[1].first);
    EXPECT_TRUE(calls[0].second);
    EXPECT_FALSE(calls[1].second);
    EXPECT_FALSE(isRelayPort("127.0.0.1", calls[0].first));
    stopClient();

    // No local server: the channel fails before its pump.
    auto count = [&](const std::string& text) {
        size_t n = 0;
        const std::string all = log.text();
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    };
    const size_t doneBefore = count("DATA_CHANNEL_DONE");
    cfg = config("socket");  // the port of the server that is about to go
    server_.reset();
    startClient(cfg);
    ASSERT_TRUE(relay_->waitAuthenticated(2));
    const std::optional<std::string> none = relay_->relay(getList());
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(log.contains("event=DATA_CHANNEL_FAIL msg=connect_local_failed: ")) << log.text();
    EXPECT_EQ(count("DATA_CHANNEL_DONE"), doneBefore);
}

// A relay that announces data connections by the hundred, all failing the
// same way, costs a log line per interval, not one per announcement; the
// lines held back are counted when the client stops.
TEST_F(RelayTest, RepeatedDataChannelFailuresAreLoggedOncePerInterval) {
    CapturedLog log;
    RtcConfig cfg = config("socket");
    cfg.max_data_channels = 1000;  // every announcement gets its channel
    server_.reset();  // nothing listens on the local port: every channel fails
    startClient(cfg);
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    constexpr int kAnnounced = 300;
    std::string burst;
    for (int i = 1; i <= kAnnounced; ++i) burst += "NEW_DATA_CONNECTION request_id=" + std::to_string(i) + "\n";
    relay_->sendControl(burst);
    EXPECT_TRUE(eventually([&] { return relay_->dataInits().size() == static_cast<size_t>(kAnnounced); }, 30000ms))
        << relay_->dataInits().size();
    EXPECT_TRUE(eventually([&] { return relay_->openDataConnections() == 0; }, 30000ms));
    stopClient();

    const std::string all = log.text();
    size_t failureLines = 0;
    for (size_t at = all.find("event=DATA_CHANNEL_FAIL"); at != std::string::npos;
         at = all.find("event=DATA_CHANNEL_FAIL", at + 1)) {
        ++failureLines;
    }
    // One line, or two when the burst spans an interval.
    EXPECT_GE(failureLines, 1u) << all;
    EXPECT_LE(failureLines, 2u) << all;
    EXPECT_TRUE(log.contains("event=REPEATED msg=")) << all;
    EXPECT_TRUE(log.contains("more lines like \"WARN DATA_CHANNEL_FAIL connect_local_failed: ")) << all;
}

}  // namespace
}  // namespace relaytest
