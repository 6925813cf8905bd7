// Requests per second and streamed tokens per second through the relay
// client in memory mode (stand-in relay -> TLS data channel -> memory channel
// -> HttpServ) against the same requests on a local keep-alive socket, in one
// run. Prints the figures and the ratios.
#include <sys/sysinfo.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

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
constexpr int kSmallRequests = 3000;
constexpr int kStreams = 10;
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

}  // namespace

int main() {
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("relay_bench: load average %.2f %.2f %.2f\n", load[0], load[1], load[2]);

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

    const double localRps = run(kSmallRequests, kList, localSend, localRead);
    const double relayRps = run(kSmallRequests, kList, relaySend, relayRead);
    std::printf("small requests: local %.0f req/s, relay (memory) %.0f req/s, ratio %.2f\n", localRps, relayRps,
                localRps > 0 ? relayRps / localRps : 0.0);

    for (int pauseUs : {0, 1000}) {
        gPauseUs = pauseUs;
        const double localStreams = run(kStreams, kChat, localSend, localRead);
        const double relayStreams = run(kStreams, kChat, relaySend, relayRead);
        const double localTps = localStreams * kTokensPerStream;
        const double relayTps = relayStreams * kTokensPerStream;
        std::printf("streamed chat (%s): local %.0f tokens/s, relay (memory) %.0f tokens/s, ratio %.2f\n",
                    pauseUs == 0 ? "no model pause" : "1 ms per token", localTps, relayTps,
                    localTps > 0 ? relayTps / localTps : 0.0);
    }

    session.reset();
    client.requestStop();
    clientThread.join();
    getloadavg(load, 3);
    std::printf("relay_bench: load average after %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
