// Shared pieces of the relay tests: a test CA trusted through SSL_CERT_FILE,
// a stand-in relay with a "localhost" certificate, the local HTTP server the
// relay feeds (a real TcpServer running HttpServ, with scripted routes), and
// a relay client run on its own thread with its state reports recorded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/runtime_properties.h"
#include "config/server_config.h"
#include "net/access_guard.h"
#include "net/http_request_handler.h"
#include "net/http_serv.h"
#include "net/router.h"
#include "net/tcp_server.h"
#include "relay/control_lines.h"
#include "relay/data_channel.h"
#include "relay/relay_lifecycle.h"
#include "relay/relay_threads.h"
#include "relay/rtc_client.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/stand_in_relay.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace relaytest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using mivrelable::rtc::RtcClient;
using mivrelable::rtc::RtcConfig;
using mivrelable::rtc::RtcState;

constexpr char kUuid[] = "dev-1";
constexpr char kToken[] = "tok-12345678";

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 10000ms) {
    const auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The body of the scripted "/v1/mivrels" route.
inline const std::string& listBody() {
    static const std::string body = R"({"mivrels":[{"id":"chat","status":"idle"}]})";
    return body;
}

// A chunked event stream in several writes with pauses, like a streamed chat.
inline void streamEvents(HttpRequestHandler& handler, Response& response, int events) {
    response.status = 200;
    response.headers["Content-Type"] = "text/event-stream";
    handler.beginChunked(response);
    for (int i = 0; i < events; ++i) {
        handler.writeChunk("event: message.delta\ndata: {\"i\":" + std::to_string(i) + ",\"text\":\"" +
                           std::string(100 + i, 'a' + i % 26) + "\"}\n\n");
        std::this_thread::sleep_for(2ms);
    }
    handler.writeChunk(std::string("data: [DONE]\n\n"));
    handler.endChunked();
}

// The test CA, the stand-in relay and the local HTTP server on free ports,
// with the process-wide settings put back afterwards.
class RelayTest : public ::testing::Test {
protected:
    // Everything the server threads read is set before the server starts:
    // they learn of later changes only through sockets, which the thread
    // sanitizer does not count as ordering.
    void SetUp() override {
        ServerConfig::resetToDefaults();
        runtimeprops::brisvaneExport = true;
        routes_.listMivrels = [this](HttpRequestHandler& handler, const Request& request, Response& response) {
            if (const std::function<void()> hook = listHook()) hook();
            sendList(handler, request, response);
        };
        routes_.messages = [](HttpRequestHandler& handler, const Request&, Response& response, const std::string&) {
            streamEvents(handler, response, 40);
        };
        // The same replies below "/mgmt-api/", which local clients may call.
        routes_.routeMgmtApi = [](HttpRequestHandler& handler, const Request& request, Response& response) {
            if (request.path == "/mgmt-api/list") sendList(handler, request, response);
            else if (request.path == "/mgmt-api/stream") streamEvents(handler, response, 40);
            else return false;
            return true;
        };
        ca_.writeCertificate(dir_.file("ca.pem"));
        trust_ = std::make_unique<ScopedEnvVar>("SSL_CERT_FILE", dir_.file("ca.pem"));
        relay_ = std::make_unique<StandInRelay>(ca_.issueServerCertificate({"localhost"}), kUuid, kToken);
        const uint16_t port = freeLoopbackPort();
        options_.servPort = port;
        server_ = TcpServer::create("127.0.0.1", port);
        server_->setPeerHandler([this](Peer* peer) { HttpServ(routes_, options_, peer, ConnOrigin::Socket); });
        server_->start();
    }

    static void sendList(HttpRequestHandler& handler, const Request&, Response& response) {
        response.status = 200;
        response.headers["Content-Type"] = "application/json";
        response.setBody(listBody());
        handler.sendResponse(response);
    }

    // Runs before the "/v1/mivrels" reply; safe to set from the test thread.
    void setListHook(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(hookMutex_);
        listHook_ = std::move(hook);
    }
    std::function<void()> listHook() {
        std::lock_guard<std::mutex> lock(hookMutex_);
        return listHook_;
    }

    void TearDown() override {
        stopClient();
        relay_.reset();
        // Memory-mode HTTP threads end on their own once their channel closed.
        EXPECT_TRUE(eventually([] { return mivrelable::rtc::memoryServeThreadCount() == 0; }));
        server_.reset();
        ServerConfig::resetToDefaults();
        runtimeprops::brisvaneExport = false;
    }

    RtcConfig config(const std::string& mode = "memory") {
        RtcConfig c;
        c.server = "localhost";
        c.port = relay_->port();
        c.uuid = kUuid;
        c.hmac_key = mivrelable::rtc::sha256Bytes(kToken);
        c.local_port = server_->listeningPort();
        c.local_access_token = kToken;
        c.local_hostname = "bench-host";
        c.device_specs = "eyJvcyI6IngifQ==";
        c.local_mode = mode;
        c.local_stream_factory = [serve = localServer().serveMemoryConnection] {
            return mivrelable::rtc::makeMemoryLocalStream(serve);
        };
        c.on_local_port = [](uint16_t port, bool add) { setRelayPort("127.0.0.1", port, add); };
        c.io_timeout_ms = 2000;
        c.on_state = [this](RtcState state) {
            std::lock_guard<std::mutex> lock(statesMutex_);
            states_.push_back({state, Clock::now()});
        };
        return c;
    }

    void startClient(RtcConfig c) {
        client_ = std::make_unique<RtcClient>(std::move(c));
        returned_ = false;
        thread_ = std::thread([this] {
            client_->run();
            returned_ = true;
        });
    }

    // Stops the client and joins its thread; the time that took.
    std::chrono::milliseconds stopClient() {
        if (!client_) return 0ms;
        const auto start = Clock::now();
        client_->requestStop();
        if (thread_.joinable()) thread_.join();
        client_.reset();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }

    std::vector<std::pair<RtcState, Clock::time_point>> states() {
        std::lock_guard<std::mutex> lock(statesMutex_);
        return states_;
    }
    void clearStates() {
        std::lock_guard<std::mutex> lock(statesMutex_);
        states_.clear();
    }
    size_t countStates(RtcState wanted) {
        size_t n = 0;
        for (const auto& [state, at] : states()) n += state == wanted;
        return n;
    }

    // One request straight to the local server, read until it closes.
    std::string local(const std::string& request) {
        HttpConnection connection;
        EXPECT_TRUE(connection.connect(server_->listeningPort()));
        connection.send(request);
        HttpReply reply;
        EXPECT_TRUE(connection.readReply(&reply));
        return reply.raw;
    }

    // The relay's way to this fixture's server: its port, localMode_, and
    // relayed requests served in memory with the fixture's routes and options.
    RelayLocalServer localServer() {
        RelayLocalServer local;
        local.port = server_->listeningPort();
        local.mode = localMode_;
        local.serveMemoryConnection = [this](Peer* peer) { HttpServ(routes_, options_, peer, ConnOrigin::Memory); };
        return local;
    }

    // Outlive the servers and the relay's memory-mode threads. The inference
    // service follows the runtime properties, as in the server.
    RouteHandlers routes_;
    NetOptions options_ = [] {
        NetOptions options;
        options.inferenceExported = &runtimeprops::brisvaneExport;
        return options;
    }();
    std::string localMode_ = "memory";
    TempDir dir_;
    TestCertificateAuthority ca_;
    std::unique_ptr<ScopedEnvVar> trust_;
    std::unique_ptr<StandInRelay> relay_;
    std::unique_ptr<TcpServer> server_;
    std::unique_ptr<RtcClient> client_;
    std::thread thread_;
    std::atomic<bool> returned_{false};
    std::mutex hookMutex_;
    std::function<void()> listHook_;
    std::mutex statesMutex_;
    std::vector<std::pair<RtcState, Clock::time_point>> states_;
};

}  // namespace relaytest
