// Requests per second and streamed tokens per second through the relay
// client in memory mode (stand-in relay -> TLS data channel -> memory channel
// -> HttpServ) against the same requests on a local keep-alive socket, in one
// run. The two paths alternate order every round; prints the medians (with
// min and max) and the ratios of the medians.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common/machine_load.h"
#include "common/rounds.h"
#include "net/http_request_handler.h"
#include "net/http_serv.h"
#include "net/router.h"
#include "net/tcp_server.h"
#include "relay/control_lines.h"
#include "relay/data_channel.h"
#include "relay/rtc_client.h"
#include "support/http_client.h"
#include "support/stand_in_relay.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultRounds = 12;
constexpr int kSmallRequestsPerRound = 500;
constexpr int kStreamsPerRound = 1;
constexpr int kTokensPerStream = 1000;

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Every token one event, like a streamed chat's deltas; `pauseUs` between
// tokens stands for the model's own pace (0: as fast as the transport goes).
int gPauseUs = 0;

void installRoutes(RouteHandlers& routes) {
    routes.listMivrels = [](HttpRequestHandler& handler, const Request&, Response& response) {
        response.status = 200;
        response.headers["Content-Type"] = "application/json";
        response.setBody(R"({"mivrels":[{"id":"chat","status":"idle","name":"Chat"}]})");
        handler.sendResponse(response);
    };
    routes.messages = [](HttpRequestHandler& handler, const Request&, Response& response, const std::string&) {
        response.status = 200;
        response.headers["Content-Type"] = "text/event-stream";
        handler.beginChunked(response);
        for (int i = 0; i < kTokensPerStream; ++i) {
            handler.writeChunk("event: message.delta\ndata: {\"delta\":\"tok\",\"delta_index\":" + std::to_string(i) +
                               ",\"type\":\"text\"}\n\n");
            if (gPauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(gPauseUs));
        }
        handler.writeChunk(std::string("data: [DONE]\n\n"));
        handler.endChunked();
    };
}

const std::string kList = "GET /v1/mivrels HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kChat =
    "POST /v1/mivrel/chat/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
    "Content-Length: 2\r\n\r\n{}";

template <typename Send, typename Read>
double run(int count, const std::string& request, Send send, Read read) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!send(request) || !read()) {
            std::fprintf(stderr, "request %d failed\n", i);
            return 0;
        }
    }
    return count / seconds(start);
}

// Runs `rounds` rounds of `count` requests on each path (alternating which
// goes first) and prints the rates, `perRequest` units a request. False when
// a request failed.
template <typename Send, typename Read, typename RelaySend, typename RelayRead>
bool compare(int rounds, const char* what, const char* unit, double perRequest, int count, const std::string& request,
             Send localSend, Read localRead, RelaySend relaySend, RelayRead relayRead) {
    std::vector<double> local;
    std::vector<double> relayed;
    const bool ok = bench::alternateRounds(
        rounds,
        [&](int) {
            local.push_back(run(count, request, localSend, localRead) * perRequest);
            return local.back() > 0;
        },
        [&](int) {
            relayed.push_back(run(count, request, relaySend, relayRead) * perRequest);
            return relayed.back() > 0;
        });
    if (!ok) return false;
    std::printf("%s\n  local          %s %s\n  relay (memory) %s %s\n  ratio %.2f (of the medians)\n", what,
                bench::describe(bench::spreadOf(local), "%.0f").c_str(), unit,
                bench::describe(bench::spreadOf(relayed), "%.0f").c_str(), unit, bench::medianRatio(relayed, local));
    return true;
}

}  // namespace

int main() {
    bench::LoadAverageReport loadReport("relay_bench");

    std::atomic<bool> exported{true};
    NetOptions netOptions;
    netOptions.localV1Access = true;
    netOptions.inferenceExported = &exported;
    RouteHandlers routes;
    installRoutes(routes);
    TempDir dir;
    TestCertificateAuthority ca;
    ca.writeCertificate(dir.file("ca.pem"));
    ScopedEnvVar trust("SSL_CERT_FILE", dir.file("ca.pem"));
    StandInRelay relay(ca.issueServerCertificate({"localhost"}), "bench", "bench-token");
    auto server = TcpServer::create("127.0.0.1", 0);
    server->setPeerHandler(
        [&routes, &netOptions](Peer* peer) { HttpServ(routes, netOptions, peer, ConnOrigin::Socket); });
    server->start();

    mivrelable::rtc::RtcConfig config;
    config.server = "localhost";
    config.port = relay.port();
    config.uuid = "bench";
    config.hmac_key = mivrelable::rtc::sha256Bytes("bench-token");
    config.local_access_token = "bench-token";
    config.local_port = server->listeningPort();
    config.local_mode = "memory";
    config.local_stream_factory = [&routes, &netOptions] {
        return mivrelable::rtc::makeMemoryLocalStream(
            [&routes, &netOptions](Peer* peer) { HttpServ(routes, netOptions, peer, ConnOrigin::Memory); });
    };
    mivrelable::rtc::RtcClient client(config);
    std::thread clientThread([&] { client.run(); });
    if (!relay.waitAuthenticated(1, 10000)) {
        std::fprintf(stderr, "relay client did not authenticate\n");
        client.requestStop();
        clientThread.join();
        return 1;
    }

    HttpConnection local;
    local.connect(server->listeningPort());
    HttpReply reply;
    auto localSend = [&](const std::string& r) { return local.send(r); };
    auto localRead = [&] { return local.readReply(&reply, 20000); };
    auto session = relay.openSession();
    std::string raw;
    auto relaySend = [&](const std::string& r) { return session->send(r); };
    auto relayRead = [&] { return session->readReply(&raw, 20000); };

    // Warm-up on both paths.
    run(100, kList, localSend, localRead);
    run(100, kList, relaySend, relayRead);

    const int rounds = bench::roundCount(kDefaultRounds);
    bool ok = compare(rounds, "small requests (GET /v1/mivrels)", "req/s", 1.0, kSmallRequestsPerRound, kList, localSend,
                      localRead, relaySend, relayRead);
    for (int pauseUs : {0, 1000}) {
        if (!ok) break;
        gPauseUs = pauseUs;
        ok = compare(rounds, pauseUs == 0 ? "streamed chat (no model pause)" : "streamed chat (1 ms per token)", "tokens/s",
                     kTokensPerStream, kStreamsPerRound, kChat, localSend, localRead, relaySend, relayRead);
    }

    session.reset();
    client.requestStop();
    clientThread.join();
    return ok ? 0 : 1;
}
