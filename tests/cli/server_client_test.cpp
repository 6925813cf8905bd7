// The tool's HTTP/1.0 client and its server probes against peers played on
// loopback sockets: exact request bytes, replies taken whole, peers that
// never answer, oversized replies, hosts it refuses, and waiting for a server
// to stop.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "support/loopback_listener.h"
#include "cli/server_client.h"
#include "cli/server_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// A loopback listener. With a reply it serves connections one after another
// on its own thread: reads the request head and body, keeps it, writes the
// reply and closes. Without one (silent), connections complete in the
// kernel's backlog and are never answered.
class StandIn {
public:
    explicit StandIn(std::string reply = "", bool silent = false) : reply_(std::move(reply)) {
        fd_ = listenOnLoopback(port_);
        if (!silent) thread_ = std::thread([this] { serve(); });
    }
    ~StandIn() { stop(); }

    int port() const { return port_; }
    std::string lastRequest() {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }
    // Closes the listener: later connections are refused.
    void stop() {
        stop_ = true;
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    void serve() {
        while (!stop_) {
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            std::string request;
            char buffer[4096];
            size_t want = std::string::npos;
            while (want == std::string::npos || request.size() < want) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<size_t>(n));
                const size_t head = request.find("\r\n\r\n");
                if (head != std::string::npos && want == std::string::npos) {
                    const size_t length = request.find("Content-Length: ");
                    want = head + 4 + (length == std::string::npos ? 0 : std::stoul(request.substr(length + 16)));
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                request_ = request;
            }
            for (size_t sent = 0; sent < reply_.size();) {
                const ssize_t n = ::send(client, reply_.data() + sent, reply_.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ::close(client);
        }
    }

    std::string reply_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string request_;
    std::thread thread_;
};

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ServerClient, SendsHttp10RequestsAndTakesTheBodyAfterTheHead) {
    StandIn server("HTTP/1.1 403 Forbidden\r\nContent-Type: application/json\r\n\r\n{\"error\":{\"code\":\"x\"}}");
    const nlohmann::json reply = postJson("127.0.0.1", server.port(), "/mgmt-api/cli/up", "{}");
    EXPECT_EQ(reply, nlohmann::json::parse(R"({"error":{"code":"x"}})")) << "the status plays no part";
    EXPECT_EQ(server.lastRequest(),
              "POST /mgmt-api/cli/up HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
              "Content-Length: 2\r\nConnection: close\r\n\r\n{}");

    // "localhost", the server's own default SERV_IP, is this machine.
    EXPECT_EQ(httpGet("localhost", server.port(), "/a?b=c"), "{\"error\":{\"code\":\"x\"}}");
    EXPECT_EQ(server.lastRequest(), "GET /a?b=c HTTP/1.0\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

TEST(ServerClient, ReplyWithoutHeadIsTheBodyAndNonJsonIsReported) {
    StandIn server("plain words");
    EXPECT_EQ(httpGet("127.0.0.1", server.port(), "/"), "plain words");
    try {
        postJson("127.0.0.1", server.port(), "/", "{}");
        FAIL() << "parsed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "could not parse brisvanesrv response.\nRaw response: plain words");
    }
    // A reply that is not JSON is printed by the commands: its escape bytes
    // are shown, its lines kept.
    StandIn hostile("<html>\x1b]0;title\x07\x1b[2J\r\nline two\n\xc2\x9b" "1m</html>");
    try {
        postJson("127.0.0.1", hostile.port(), "/", "{}");
        FAIL() << "parsed";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "could not parse brisvanesrv response.\nRaw response: "
                     "<html>\\x1B]0;title\\x07\\x1B[2J\\r\nline two\n\\u009B1m</html>");
    }
}

TEST(ServerClient, RefusesHostsNobodyListensAndOversizedReplies) {
    struct Case {
        std::string host;
        std::string message;
    };
    for (const Case& c : {Case{"", "Invalid host: "}, Case{"brisvane.example", "Invalid host: brisvane.example"},
                          Case{"::1", "Invalid host: ::1"}, Case{"127.0.0.1.5", "Invalid host: 127.0.0.1.5"}}) {
        try {
            httpGet(c.host, 4092, "/");
            ADD_FAILURE() << c.host;
        } catch (const ServerUnreachable&) {
            ADD_FAILURE() << "looked up: " << c.host;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }

    StandIn closed;
    const int port = closed.port();
    closed.stop();
    try {
        httpGet("127.0.0.1", port, "/");
        FAIL() << "connected";
    } catch (const ServerUnreachable& e) {
        EXPECT_STREQ(e.what(), "Could not connect to brisvanesrv — is running?");
    }

    StandIn huge("HTTP/1.0 200 OK\r\n\r\n" + std::string(kMaxReplyBytes + 1, 'x'));
    EXPECT_THROW(httpGet("127.0.0.1", huge.port(), "/"), std::runtime_error);
}

TEST(ServerClient, PeerThatNeverAnswersEndsTheRequestAtItsTimeOut) {
    StandIn silent("", true);
    const auto start = Clock::now();
    try {
        httpGet("127.0.0.1", silent.port(), "/mgmt-api/cli/status", 500);
        FAIL() << "answered";
    } catch (const ServerNoReply& e) {
        EXPECT_STREQ(e.what(), "no reply from brisvanesrv within 1s");
    }
    EXPECT_LT(msSince(start), 30000) << "bounded";
    EXPECT_EQ(probeServer({"127.0.0.1", silent.port()}), ProbeResult::NoReply);
}

TEST(ServerProbe, TellsTheServerFromOtherPrograms) {
    StandIn server("HTTP/1.1 200 OK\r\n\r\n{\"process\":{},\"inference\":{}}");
    StandIn html("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>hello</html>");
    StandIn array("HTTP/1.1 200 OK\r\n\r\n[{\"process\":1}]");
    StandIn other("HTTP/1.1 200 OK\r\n\r\n{\"status\":\"ok\"}");
    StandIn closed;
    const int closedPort = closed.port();
    closed.stop();
    EXPECT_EQ(probeServer({"127.0.0.1", server.port()}), ProbeResult::Answers);
    EXPECT_EQ(probeServer({"127.0.0.1", html.port()}), ProbeResult::NotServer);
    EXPECT_EQ(probeServer({"127.0.0.1", array.port()}), ProbeResult::NotServer);
    EXPECT_EQ(probeServer({"127.0.0.1", other.port()}), ProbeResult::NotServer);
    EXPECT_EQ(probeServer({"127.0.0.1", closedPort}), ProbeResult::Nothing);
    EXPECT_THROW(probeServer({"server.example", server.port()}), std::runtime_error);

    // Another program on the port is reported, never replaced by a start.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ensureServerRunning({"127.0.0.1", html.port()}, "/nonexistent", "conf/serv.conf", 10));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: port " + std::to_string(html.port()) + " is in use by another program (not brisvanesrv).\n");
}

TEST(ServerProbe, WaitServerStoppedEndsWhenThePortClosesOrAtItsDeadline) {
    auto server = std::make_unique<StandIn>("HTTP/1.1 200 OK\r\n\r\n{\"process\":{}}");
    const ServerAddress address{"127.0.0.1", server->port()};
    std::thread stopper([&server] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        server->stop();
    });
    EXPECT_TRUE(waitServerStopped(address, 20000));
    stopper.join();

    StandIn keeps("HTTP/1.1 200 OK\r\n\r\n{\"process\":{}}");
    EXPECT_FALSE(waitServerStopped({"127.0.0.1", keeps.port()}, 700));

    // A peer that accepts but never answers is not a stopped server.
    StandIn silent("", true);
    EXPECT_FALSE(waitServerStopped({"127.0.0.1", silent.port()}, 100));
}

}  // namespace
