// The relay client's control connection against the stand-in relay:
// authentication, pings, rejections and the give-up rule, broken relays,
// certificate checks and the reconnect back-off.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/captured_log.h"
#include "relay/rtc_tls.h"
#include "relay_test_support.h"

namespace relaytest {
namespace {

using Auth = StandInRelay::Auth;

TEST(RelayControlLines, ParsingAndTheChallengeResponse) {
    using namespace mivrelable::rtc;
    EXPECT_EQ(firstToken("  AUTH_OK\r"), "AUTH_OK");
    EXPECT_EQ(firstToken("PING"), "PING");
    const auto fields = parseKeyValueFields("CMD a=1 junk b=x=y a=2 \r");
    EXPECT_EQ(fields, (std::map<std::string, std::string>{{"a", "2"}, {"b", "x=y"}}));
    const std::vector<std::pair<std::string, uint64_t>> numbers = {
        {"31", 31}, {"0x1f", 31}, {"0X1F", 31}, {" 12abc ", 12}, {"abc", 0}, {"", 0},
        {"99999999999999999999999", UINT64_MAX}, {"0x", 0}};
    for (const auto& [text, value] : numbers) EXPECT_EQ(parseRequestId(text), value) << text;
    EXPECT_EQ(challengeMessage("dev", "N", "0x10"), "dev:N:16");
    EXPECT_EQ(hmacSha256Hex(sha256Bytes(kToken), "dev-1:n:16"), StandInRelay::expectedHmac("dev-1", kToken, "n", 16));
    EXPECT_EQ(helloFields("u", 4092, "h", "abcdefgh", "", true), "u local_port=4092 local_hostname=h local_access_token=abcdXXXX\n");
    EXPECT_EQ(helloFields("u", 1, "h", "abcd", "Zg==", true), "u local_port=1 local_hostname=h local_access_token=abcd device_specs=Zg==\n");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
}

TEST_F(RelayTest, AuthenticatesAnswersPingsAndMasksTheTokenInTheLog) {
    CapturedLog log;
    startClient(config());
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    const std::vector<std::string> hellos = relay_->hellos();
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0], "AUTH_HELLO uuid=dev-1 local_port=" + std::to_string(server_->listeningPort()) +
                             " local_hostname=bench-host local_access_token=tok-12345678 device_specs=eyJvcyI6IngifQ==");
    relay_->sendControl("PING\n");
    relay_->sendControl("SOMETHING_NEW x=1\n");
    relay_->sendControl("NEW_DATA_CONNECTION no_id=1\n");
    relay_->sendControl("PING\n");
    EXPECT_TRUE(relay_->waitControlLine("PONG", 2));
    EXPECT_TRUE(eventually([&] { return countStates(RtcState::Connected) == 1; }));
    EXPECT_TRUE(relay_->dataInits().empty()) << "an announcement without request_id starts nothing";
    EXPECT_TRUE(log.contains("event=HELLO msg=PARAMETER uuid=dev-1 local_port=")) << log.text();
    EXPECT_TRUE(log.contains("local_access_token=tok-XXXXXXXX")) << log.text();
    EXPECT_FALSE(log.contains("tok-12345678"));
    EXPECT_TRUE(log.contains("event=CONTROL_AUTH_OK msg=ok"));
    EXPECT_LT(stopClient(), 1000ms) << "a stop wakes the blocked control read at once";
    EXPECT_FALSE(log.contains("readline_failed")) << "a stop is not a lost connection";
}

TEST_F(RelayTest, ThreeRejectionsInARowEndTheClientOthersDoNot) {
    struct Case {
        const char* name;
        std::vector<Auth> script;  // the relay's answer to each hello in turn
        bool givesUp;
    };
    const std::vector<Case> cases = {
        {"wrong token", {}, true},
        {"lower-case accept word and garbage count", {Auth::RejectLowerCase, Auth::Garbage, Auth::RejectLowerCase}, true},
        {"a challenge without ts is no rejection",
         {Auth::RejectLowerCase, Auth::NoTimestamp, Auth::NoTimestamp, Auth::RejectLowerCase, Auth::Check}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        relay_ = std::make_unique<StandInRelay>(ca_.issueServerCertificate({"localhost"}), kUuid, kToken);
        RtcConfig cfg = config();
        if (c.script.empty()) cfg.local_access_token = "wrong", cfg.hmac_key = mivrelable::rtc::sha256Bytes("wrong");
        CapturedLog log;
        std::thread driver([&] {
            for (size_t i = 0; i < c.script.size(); ++i) {
                relay_->setAuth(c.script[i]);
                eventually([&] { return relay_->hellos().size() > i; });
            }
        });
        const auto start = Clock::now();
        startClient(cfg);
        if (c.givesUp) {
            EXPECT_TRUE(eventually([&] { return returned_.load(); }, 15000ms)) << "the client gave up by itself";
            EXPECT_EQ(relay_->hellos().size(), 3u);
            EXPECT_FALSE(client_->running());
            EXPECT_GE(Clock::now() - start, 1900ms) << "two back-offs of one second";
            EXPECT_TRUE(log.contains("event=AUTH_BACKOFF msg=fail_count=2 wait_ms=1000"));
            EXPECT_TRUE(log.contains("event=AUTH_GIVE_UP msg=fail_count=3 stopping"));
            EXPECT_EQ(states().back().first, RtcState::Disconnected);
        } else {
            EXPECT_TRUE(relay_->waitAuthenticated(1, 15000));
            EXPECT_TRUE(log.contains("bad_challenge_fields"));
            EXPECT_FALSE(returned_.load());
        }
        driver.join();
        stopClient();
    }
}

TEST_F(RelayTest, AnAcceptedLoginResetsTheRejectionCount) {
    relay_->setAuth(Auth::RejectLowerCase);
    startClient(config());
    ASSERT_TRUE(eventually([&] { return relay_->hellos().size() == 2; }));
    relay_->setAuth(Auth::Check);
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    relay_->setAuth(Auth::RejectLowerCase);
    relay_->dropControl();
    ASSERT_TRUE(eventually([&] { return relay_->hellos().size() == 5; }));
    relay_->setAuth(Auth::Check);
    EXPECT_TRUE(relay_->waitAuthenticated(2)) << "2 + 2 rejections with a login between do not give up";
    EXPECT_FALSE(returned_.load());
}

TEST_F(RelayTest, ADroppedOrSilentRelayIsLeftAndReconnected) {
    RtcConfig cfg = config();
    cfg.idle_timeout_ms = 600;
    CapturedLog log;
    startClient(cfg);
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    relay_->dropControl();
    ASSERT_TRUE(relay_->waitAuthenticated(2)) << "reconnects after the relay dropped the line";
    EXPECT_TRUE(log.contains("readline_failed"));
    // Pings keep a quiet line alive; no line at all for the idle time-out
    // ends it.
    for (int i = 0; i < 6; ++i) {
        relay_->sendControl("PING\n");
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(relay_->authenticatedCount(), 2);
    EXPECT_TRUE(relay_->waitAuthenticated(3, 5000)) << "a silent relay is detected";
    EXPECT_TRUE(log.contains("readline_failed: read timed out"));

    // The relay says nothing after the hello: the handshake read times out
    // and the client connects again after its back-off.
    relay_->setAuth(Auth::Silent);
    const size_t hellos = relay_->hellos().size();
    ASSERT_TRUE(eventually([&] { return relay_->hellos().size() >= hellos + 2; }, 8000ms));
    EXPECT_TRUE(log.contains("missing_challenge: read timed out"));
    EXPECT_LT(stopClient(), 1000ms);
}

// A TCP listener that accepts and never says a word (no TLS handshake).
class MuteListener {
public:
    MuteListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 16);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~MuteListener() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_;
    int port_;
};

TEST_F(RelayTest, BrokenHandshakesAndForeignCertificatesNeverAuthenticate) {
    MuteListener mute;
    TestCertificateAuthority otherCa("Other CA");
    struct Case {
        const char* name;
        std::function<RtcConfig()> setUp;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"silent TLS handshake",
         [&] {
             RtcConfig c = config();
             c.port = mute.port();
             c.io_timeout_ms = 500;
             return c;
         },
         "handshake timed out"},
        {"certificate for another name",
         [&] {
             relay_ = std::make_unique<StandInRelay>(ca_.issueServerCertificate({"relay.other.example"}), kUuid, kToken);
             return config();
         },
         "certificate verify failed: "},
        {"certificate from an unknown CA",
         [&] {
             relay_ = std::make_unique<StandInRelay>(otherCa.issueServerCertificate({"localhost"}), kUuid, kToken);
             return config();
         },
         "certificate verify failed: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedLog log;
        clearStates();
        startClient(c.setUp());
        EXPECT_TRUE(eventually([&] { return countStates(RtcState::Disconnected) >= 2; }));
        EXPECT_TRUE(relay_->hellos().empty()) << "no token goes to a relay that did not prove who it is";
        EXPECT_EQ(countStates(RtcState::Connected), 0u);
        EXPECT_TRUE(log.contains(c.logged)) << log.text();
        EXPECT_LT(stopClient(), 1000ms);
    }
}

TEST_F(RelayTest, ConnectFailuresBackOffAndAStopEndsTheWait) {
    // Refused by the system, refused by a relay that closes at once, and
    // connections that end during the handshake (closed after the hello, a
    // challenge without its fields): the waits between attempts grow 250,
    // 500, 1000, 2000 ms.
    enum class Failure { kPortClosed, kRefused, kDroppedAfterHello, kChallengeWithoutFields };
    const std::pair<Failure, const char*> failures[] = {
        {Failure::kPortClosed, "port closed"},
        {Failure::kRefused, "relay closes connections"},
        {Failure::kDroppedAfterHello, "relay closes after the hello"},
        {Failure::kChallengeWithoutFields, "challenge without its fields"},
    };
    for (const auto& [failure, name] : failures) {
        SCOPED_TRACE(name);
        relay_ = std::make_unique<StandInRelay>(ca_.issueServerCertificate({"localhost"}), kUuid, kToken);
        if (failure == Failure::kPortClosed) relay_->closeListener();
        if (failure == Failure::kRefused) relay_->setRefusing(true);
        if (failure == Failure::kDroppedAfterHello) relay_->setAuth(StandInRelay::Auth::Drop);
        if (failure == Failure::kChallengeWithoutFields) relay_->setAuth(StandInRelay::Auth::NoTimestamp);
        clearStates();
        startClient(config());
        ASSERT_TRUE(eventually([&] { return countStates(RtcState::Connecting) >= 5; }, 8000ms));
        std::vector<Clock::time_point> attempts;
        for (const auto& [state, at] : states()) {
            if (state == RtcState::Connecting) attempts.push_back(at);
        }
        const int expected[] = {250, 500, 1000, 2000};
        for (int i = 0; i < 4; ++i) {
            const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(attempts[i + 1] - attempts[i]);
            EXPECT_GE(gap.count(), expected[i] * 9 / 10) << "attempt " << i;
            EXPECT_LE(gap.count(), expected[i] + 400) << "attempt " << i;
        }
        EXPECT_LT(stopClient(), 500ms) << "the 4 s wait ends with the stop";
    }
}

}  // namespace
}  // namespace relaytest
