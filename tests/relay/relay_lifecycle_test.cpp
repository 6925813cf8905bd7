// Starting and stopping the relay client from the runtime properties, the
// status it reports, a stop asked for by a relayed request, and many quick
// start/stop cycles that must leave no thread or descriptor behind.
#include <dirent.h>

#include "base/captured_log.h"
#include "relay/relay_lifecycle.h"
#include "relay/relay_threads.h"
#include "relay_test_support.h"

namespace relaytest {
namespace {

size_t countEntries(const char* folder) {
    size_t n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

class RelayLifecycle : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        setRuntimePropertiesPathForTesting(dir_.file("runtime.properties"));
        clearRuntimePropertiesForTesting();
        relayPort_ = std::make_unique<ScopedEnvVar>("BRISVANE_RELAY_PORT", std::to_string(relay_->port()));
    }
    void TearDown() override {
        stopRtcClient(true);
        EXPECT_TRUE(joinStoppedRtcClients(10000));
        clearRuntimePropertiesForTesting();
        setRuntimePropertiesPathForTesting("work/.runtime.properties");
        RelayTest::TearDown();
    }
    void setProperties(const std::string& host, const std::string& token = kToken) {
        writeTextFile(dir_.file("runtime.properties"), "BRISVANE_EXPORT = true\nRTS_HOST = " + host + "\nBRISVANE_ID = " + kUuid +
                                                           "\nBRISVANE_TOKEN = " + token + "\n");
        loadRuntimeProperties();
    }
    std::unique_ptr<ScopedEnvVar> relayPort_;
};

TEST_F(RelayLifecycle, NoRelayHostRefusesTheStart) {
    CapturedLog log;
    setProperties("");
    startRtcClient(localServer());
    EXPECT_EQ(relayStatus.load(), kGatewayUnregistered);
    EXPECT_FALSE(relayClientRunning.load());
    EXPECT_TRUE(log.contains("[RTC] startRtcClient: rts_host 가 비어 있어 기동 불가"));
    EXPECT_EQ(relay_->acceptedCount(), 0);
}

TEST_F(RelayLifecycle, StatusFollowsTheConnectionAndAUserStopReadsDown) {
    CapturedLog log;
    setProperties("localhost");
    startRtcClient(localServer());
    EXPECT_TRUE(relayClientRunning.load());
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    EXPECT_TRUE(eventually([] { return relayStatus.load() == kGatewayConnected; }));
    const std::string hello = relay_->hellos().at(0);
    EXPECT_NE(hello.find("uuid=dev-1 local_port=" + std::to_string(server_->listeningPort()) + " local_hostname="),
              std::string::npos);
    EXPECT_NE(hello.find(" device_specs="), std::string::npos);
    EXPECT_TRUE(log.contains("[RTC] 로컬 어플리케이션 연결 방식: memory"));
    EXPECT_TRUE(log.contains("[RTC] 클라이언트 기동: localhost:" + std::to_string(relay_->port()) + " uuid=dev-1"));

    relay_->setRefusing(true);
    relay_->dropControl();
    EXPECT_TRUE(eventually([] { return relayStatus.load() == kGatewayDisconnected; }));
    EXPECT_TRUE(relayClientRunning.load()) << "a lost line is retried, not the end";
    relay_->setRefusing(false);
    EXPECT_TRUE(relay_->waitAuthenticated(2));
    EXPECT_TRUE(eventually([] { return relayStatus.load() == kGatewayConnected; }));

    // A second start restarts cleanly.
    startRtcClient(localServer());
    EXPECT_TRUE(relay_->waitAuthenticated(3));
    EXPECT_TRUE(eventually([] { return relayStatus.load() == kGatewayConnected; }));

    stopRtcClient(true);
    EXPECT_EQ(relayStatus.load(), kGatewayDown);
    EXPECT_FALSE(relayClientRunning.load());
    EXPECT_TRUE(joinStoppedRtcClients(5000));
    EXPECT_EQ(relayStatus.load(), kGatewayDown) << "the ending thread does not report disconnected";
    EXPECT_TRUE(log.contains("[RTC] 클라이언트 스레드 종료"));
}

TEST_F(RelayLifecycle, AWrongTokenEndsTheClientAsDisconnected) {
    setProperties("localhost", "not-the-token");
    startRtcClient(localServer());
    EXPECT_TRUE(eventually([] { return !relayClientRunning.load(); }, 15000ms));
    EXPECT_EQ(relayStatus.load(), kGatewayDisconnected);
    EXPECT_EQ(relay_->hellos().size(), 3u);
}

TEST_F(RelayLifecycle, ARelayedRequestMayStopTheRelayAndStillAnswerThroughIt) {
    setListHook([] { stopRtcClient(true); });
    for (const char* mode : {"memory", "socket"}) {
        SCOPED_TRACE(mode);
        localMode_ = mode;
        setProperties("localhost");
        const int before = relay_->authenticatedCount();
        startRtcClient(localServer());
        ASSERT_TRUE(relay_->waitAuthenticated(before + 1));
        const std::optional<std::string> reply =
            relay_->relay("GET /v1/mivrels HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        ASSERT_TRUE(reply.has_value()) << "no deadlock";
        EXPECT_NE(reply->find(listBody()), std::string::npos) << *reply;
        EXPECT_EQ(relayStatus.load(), kGatewayDown);
        EXPECT_TRUE(joinStoppedRtcClients(10000));
    }
}

TEST_F(RelayLifecycle, HundredStartStopCyclesLeaveNothingBehind) {
    setProperties("localhost");
    // One full cycle first, so lazily made process-wide things exist.
    startRtcClient(localServer());
    ASSERT_TRUE(relay_->waitAuthenticated(1));
    stopRtcClient(true);
    ASSERT_TRUE(joinStoppedRtcClients(10000));
    ASSERT_TRUE(eventually([&] { return relay_->openDataConnections() == 0; }));
    std::this_thread::sleep_for(200ms);
    const size_t threads = countEntries("/proc/self/task");
    const size_t fds = countEntries("/proc/self/fd");

    for (int i = 0; i < 100; ++i) {
        startRtcClient(localServer());
        if (i % 10 == 0) {
            EXPECT_TRUE(relay_->waitAuthenticated(2 + i / 10)) << "cycle " << i;
            // A stop and a start from two threads at once.
            std::thread other([] { stopRtcClient(true); });
            startRtcClient(localServer());
            other.join();
        }
        stopRtcClient(true);
    }
    stopRtcClient(true);
    EXPECT_TRUE(joinStoppedRtcClients(20000));
    EXPECT_FALSE(relayClientRunning.load());
    EXPECT_EQ(relayStatus.load(), kGatewayDown);
    EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/task") <= threads; }, 10000ms))
        << countEntries("/proc/self/task") << " threads, " << threads << " before";
    EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/fd") <= fds; }, 10000ms))
        << countEntries("/proc/self/fd") << " descriptors, " << fds << " before";
}

}  // namespace
}  // namespace relaytest
