// Throughput and latency of the HTTP front end on keep-alive connections,
// measured with wrk against a trivial route, beside a reference server that
// answers the same bytes without parsing anything (the socket floor).
//
// Usage: bench_http_bench [seconds per run, default 3]
// Needs `wrk` on the PATH (Debian package "wrk").
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "base/logger.h"
#include "net/http_request_handler.h"
#include "net/http_serv.h"
#include "net/router.h"
#include "net/streams.h"
#include "net/tcp_server.h"

namespace {

struct WrkResult {
    double requestsPerSecond = 0;
    std::string p50, p90, p99;
    bool ok = false;
};

std::string runCommand(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe) return output;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) output.append(buffer.data(), n);
    return output;
}

WrkResult runWrk(uint16_t port, int connections, int seconds) {
    const int threads = connections < 4 ? connections : 4;
    const std::string command = "wrk -t" + std::to_string(threads) + " -c" + std::to_string(connections) + " -d" +
                                std::to_string(seconds) + "s --latency http://127.0.0.1:" + std::to_string(port) +
                                "/mgmt-api/ping 2>&1";
    const std::string out = runCommand(command);
    WrkResult result;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"(Requests/sec:\s+([0-9.]+))"))) {
        result.requestsPerSecond = std::stod(m[1]);
        result.ok = true;
    }
    if (std::regex_search(out, m, std::regex(R"(\n\s+50%\s+(\S+))"))) result.p50 = m[1];
    if (std::regex_search(out, m, std::regex(R"(\n\s+90%\s+(\S+))"))) result.p90 = m[1];
    if (std::regex_search(out, m, std::regex(R"(\n\s+99%\s+(\S+))"))) result.p99 = m[1];
    if (!result.ok) std::fprintf(stderr, "wrk output:\n%s\n", out.c_str());
    return result;
}

const char kPingBody[] = "{\"ok\":true}";

// The reference: one thread per connection that answers every request head
// with fixed bytes.
void serveReference(Peer* peer) {
    static const std::string reply = std::string("HTTP/1.1 200 OK\r\nContent-Length: ") +
                                     std::to_string(sizeof kPingBody - 1) +
                                     "\r\nContent-Type: application/json\r\nConnection: keep-alive\r\n\r\n" + kPingBody;
    InputStream* in = peer->getInputStream();
    OutputStream* out = peer->getOutputStream();
    try {
        for (;;) {
            std::string line;
            bool blank = false;
            while (!blank) {
                line.clear();
                if (in->readLine(line) < 0) return;
                blank = line.empty();
            }
            out->write(reply.data(), static_cast<int>(reply.size()));
        }
    } catch (const std::exception&) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3;
    if (std::system("wrk --version > /dev/null 2>&1") == -1 || runCommand("command -v wrk").empty()) {
        std::fprintf(stderr, "wrk not found: install the Debian package \"wrk\"\n");
        return 1;
    }
    setLogLevel(1);
    RouteHandlers routes;
    NetOptions netOptions;
    netOptions.servPort = 0;
    routes.routeMgmtApi = [](HttpRequestHandler& handler, const Request& request, Response& response) {
        if (request.path != "/mgmt-api/ping") return false;
        response.headers["Content-Type"] = "application/json";
        response.setBody(std::string(kPingBody));
        handler.sendResponse(response);
        return true;
    };

    TcpServerOptions options;
    options.maxConnections = 1024;
    auto server = TcpServer::create("127.0.0.1", 0, options);
    server->setPeerHandler(
        [&routes, &netOptions](Peer* peer) { HttpServ(routes, netOptions, peer, ConnOrigin::Socket); });
    server->start();
    auto reference = TcpServer::create("127.0.0.1", 0, options);
    reference->setPeerHandler(serveReference);
    reference->start();

    std::printf("HTTP front end, keep-alive, GET /mgmt-api/ping, %d s per run, %u CPUs\n", seconds,
                std::thread::hardware_concurrency());
    std::printf("%-6s %12s %10s %10s %10s | %12s %8s\n", "conns", "req/s", "p50", "p90", "p99", "ref req/s", "ratio");
    for (int connections : {1, 8, 64, 256}) {
        const WrkResult ours = runWrk(server->listeningPort(), connections, seconds);
        const WrkResult floor = runWrk(reference->listeningPort(), connections, seconds);
        const double ratio = floor.requestsPerSecond > 0 ? ours.requestsPerSecond / floor.requestsPerSecond : 0;
        std::printf("%-6d %12.0f %10s %10s %10s | %12.0f %8.2f\n", connections, ours.requestsPerSecond,
                    ours.p50.c_str(), ours.p90.c_str(), ours.p99.c_str(), floor.requestsPerSecond, ratio);
        std::fflush(stdout);
    }
    server->stop();
    reference->stop();
    return 0;
}
