// Small HTTP requests, in three modes.
//
// bench_http_bench [seconds per run, default 3]
//   The front end in this process (a connection waits in the poller between
//   requests, a worker serves each) on keep-alive connections, measured with
//   wrk against a trivial route, beside a reference server that answers the
//   same bytes without parsing anything (the socket floor).
// bench_http_bench --llama-server <program> [seconds per run, default 3]
//   The real brisvanesrv's GET /v1/mivrels (one instance) against llama.cpp's
//   own server (bench/build_llama_server.sh builds it) on the kit's tiny
//   model: its /health (its lightest endpoint) and its /v1/models, at 1, 64
//   and 256 connections. Targets: >= 1.0x /health at 1 and 64 connections,
//   p99 at 256 connections within 2x its.
// bench_http_bench --slowloris [sockets, default 2000] [seconds, default 20]
//   The real brisvanesrv while `sockets` connections trickle request heads
//   that never end and reopen as the server closes them: a normal client's
//   success rate and latency. Target: every request served within 100 ms.
//
// Needs `wrk` on the PATH for the first two (Debian package "wrk"). Prints
// the machine's load average before and after, and warns above 2.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "net/http_request_handler.h"
#include "net/http_serv.h"
#include "net/router.h"
#include "net/streams.h"
#include "net/tcp_server.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/test_models.h"
#include "support/test_paths.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

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

bool haveWrk() {
    if (!runCommand("command -v wrk").empty()) return true;
    std::fprintf(stderr, "wrk not found: install the Debian package \"wrk\"\n");
    return false;
}

WrkResult runWrk(uint16_t port, const std::string& path, int connections, int seconds) {
    const int threads = connections < 4 ? connections : 4;
    const std::string command = "wrk -t" + std::to_string(threads) + " -c" + std::to_string(connections) + " -d" +
                                std::to_string(seconds) + "s --latency http://127.0.0.1:" + std::to_string(port) +
                                path + " 2>&1";
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
    // Answers other than 2xx make the figures meaningless.
    if (out.find("Non-2xx") != std::string::npos) result.ok = false;
    if (!result.ok) std::fprintf(stderr, "wrk output:\n%s\n", out.c_str());
    return result;
}

// The machine's 1-minute load average; warns above 2.
void printLoad(const char* when) {
    std::ifstream in("/proc/loadavg");
    double load = 0;
    in >> load;
    std::printf("load average %s: %.2f%s\n", when, load, load > 2 ? "  (WARNING: above 2, figures are unreliable)" : "");
    std::fflush(stdout);
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

int frontEndMode(int seconds) {
    if (!haveWrk()) return 1;
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
    server->setSessionFactory([&routes, &netOptions](Peer* peer) {
        return makeHttpSession(routes, netOptions, peer, ConnOrigin::Socket);
    });
    server->start();
    auto reference = TcpServer::create("127.0.0.1", 0, options);
    reference->setPeerHandler(serveReference);
    reference->start();

    printLoad("before");
    std::printf("HTTP front end, keep-alive, GET /mgmt-api/ping, %d s per run, %u CPUs\n", seconds,
                std::thread::hardware_concurrency());
    std::printf("%-6s %12s %10s %10s %10s | %12s %8s\n", "conns", "req/s", "p50", "p90", "p99", "ref req/s", "ratio");
    for (int connections : {1, 8, 64, 256}) {
        const WrkResult ours = runWrk(server->listeningPort(), "/mgmt-api/ping", connections, seconds);
        const WrkResult floor = runWrk(reference->listeningPort(), "/mgmt-api/ping", connections, seconds);
        const double ratio = floor.requestsPerSecond > 0 ? ours.requestsPerSecond / floor.requestsPerSecond : 0;
        std::printf("%-6d %12.0f %10s %10s %10s | %12.0f %8.2f\n", connections, ours.requestsPerSecond,
                    ours.p50.c_str(), ours.p90.c_str(), ours.p99.c_str(), floor.requestsPerSecond, ratio);
        std::fflush(stdout);
    }
    printLoad("after");
    server->stop();
    reference->stop();
    return 0;
}

// A temporary home with the kit's tiny chat model and one instance "bench",
// /v1 open to local clients, and brisvanesrv started on it.
struct BenchHome {
    TempDir home;
    uint16_t port = 0;
    ServerProcess server;

    std::string modelPath() const { return home.file("models/tiny/tiny-chat.gguf"); }

    bool start() {
        namespace fs = std::filesystem;
        fs::create_directories(home.file("models/tiny"));
        fs::create_directories(home.file("mivrel/bench"));
        fs::create_directories(home.file("work"));
        fs::copy_file(testModelPath(testmodels::kTinyChatFile), modelPath());
        port = freeLoopbackPort();
        writeServerConf(home.path(), testServerConf(port, "LOCAL_V1_ACCESS=true\n"));
        writeTextFile(home.file("work/.runtime.properties"), "APP_ID=http-bench\nBRISVANE_EXPORT=true\n");
        writeTextFile(home.file("models/tiny/properties.json"), json({{"assembler", "qwen3"}}).dump());
        writeTextFile(home.file("models/models.json"),
                      json({{"models", json::array({{{"modelId", "tiny"},
                                                     {"name", "Tiny"},
                                                     {"filename", "tiny-chat.gguf"},
                                                     {"downloadedAt", "2026-01-01T00:00:00.000Z"}}})}})
                          .dump(2));
        writeTextFile(home.file("mivrel/bench/properties.json"),
                      json({{"mivrelId", "bench"}, {"name", "Bench"}, {"description", "HTTP benchmark"},
                            {"type", "local"}, {"modelId", "tiny"}, {"n_ctx", 256}})
                          .dump(2));
        writeTextFile(home.file("mivrel/mivrel.json"),
                      json({{"mivrelList", json::array({{{"mivrelId", "bench"}}})}}).dump(2));
        if (server.start({}, home.path()) && server.waitListening(port) &&
            httpRequest(port, "GET", "/v1/mivrels").status == 200)
            return true;
        std::fprintf(stderr, "brisvanesrv did not start: %s\n", server.stderrText().c_str());
        return false;
    }
};

// The thread count of process `pid`, 0 when unknown.
int threadCount(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    }
    return 0;
}

int llamaServerMode(const std::string& program, int seconds) {
    if (!haveWrk()) return 1;
    BenchHome home;
    if (!home.start()) return 1;
    const uint16_t llamaPort = freeLoopbackPort();
    ServerProcess llama;
    const std::vector<std::string> args = {"-m", home.modelPath(), "--host", "127.0.0.1", "--port",
                                           std::to_string(llamaPort), "-c", "256", "-np", "1", "-t", "1",
                                           "-ngl", "0", "--no-webui"};
    bool healthy = llama.start(args, home.home.path(), {}, program);
    for (int i = 0; healthy && i < 600; ++i) {
        if (httpRequest(llamaPort, "GET", "/health").status == 200) break;
        if (!llama.running() || i == 599) healthy = false;
        ::poll(nullptr, 0, 100);
    }
    if (!healthy) {
        std::fprintf(stderr, "llama-server did not start:\n%s%s\n", llama.stdoutText().c_str(),
                     llama.stderrText().c_str());
        return 1;
    }

    printLoad("before");
    std::printf("small requests, keep-alive, %d s per run, %u CPUs: brisvanesrv GET /v1/mivrels (one instance) "
                "against llama-server GET /health and GET /v1/models\n",
                seconds, std::thread::hardware_concurrency());
    std::printf("%-6s %14s %9s | %14s %9s %7s | %14s %9s %7s\n", "conns", "mivrels req/s", "p99", "health req/s",
                "p99", "ratio", "models req/s", "p99", "ratio");
    for (int connections : {1, 64, 256}) {
        const WrkResult ours = runWrk(home.port, "/v1/mivrels", connections, seconds);
        const WrkResult health = runWrk(llamaPort, "/health", connections, seconds);
        const WrkResult models = runWrk(llamaPort, "/v1/models", connections, seconds);
        auto ratio = [&](const WrkResult& theirs) {
            return theirs.requestsPerSecond > 0 ? ours.requestsPerSecond / theirs.requestsPerSecond : 0.0;
        };
        std::printf("%-6d %14.0f %9s | %14.0f %9s %7.2f | %14.0f %9s %7.2f\n", connections, ours.requestsPerSecond,
                    ours.p99.c_str(), health.requestsPerSecond, health.p99.c_str(), ratio(health),
                    models.requestsPerSecond, models.p99.c_str(), ratio(models));
        std::fflush(stdout);
    }
    std::printf("brisvanesrv threads at the end: %d\n", threadCount(home.server.pid()));
    std::printf("targets: ratio to /health >= 1.00 at 1 and 64 connections; p99 at 256 within 2x /health's\n");
    printLoad("after");
    llama.stop();
    home.server.stop();
    return 0;
}

// A blocking loopback connection to `port`, or -1.
int connectLoopback(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int slowlorisMode(int sockets, int seconds) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < static_cast<rlim_t>(sockets) + 100) {
        std::fprintf(stderr, "too few descriptors for %d sockets: %lu\n", sockets,
                     static_cast<unsigned long>(files.rlim_cur));
        return 1;
    }
    BenchHome home;
    if (!home.start()) return 1;
    const uint16_t port = home.port;
    printLoad("before");

    std::atomic<bool> stop{false};
    std::atomic<long> opened{0};
    std::atomic<long> closedByServer{0};
    std::thread attacker([&] {
        const std::string head = "GET /v1/mivrels HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
        std::vector<int> fds(static_cast<size_t>(sockets), -1);
        std::vector<size_t> sent(static_cast<size_t>(sockets), 0);
        while (!stop) {
            for (size_t i = 0; i < fds.size() && !stop; ++i) {
                if (fds[i] < 0) {
                    fds[i] = connectLoopback(port);
                    sent[i] = 0;
                    if (fds[i] < 0) continue;
                    ++opened;
                }
                const char byte = sent[i] < head.size() ? head[sent[i]] : 'a';
                if (::send(fds[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
                    ++sent[i];
                } else {
                    ::close(fds[i]);
                    fds[i] = -1;
                    ++closedByServer;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        for (int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    });
    // Let the sockets open before the normal client starts.
    for (int i = 0; i < 100 && opened.load() < sockets; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    int tries = 0;
    int served = 0;
    std::vector<double> latencyMs;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        const auto start = Clock::now();
        const HttpReply reply = httpRequest(port, "GET", "/v1/mivrels", {}, "", 30000);
        latencyMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        ++tries;
        if (reply.status == 200) ++served;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int threads = threadCount(home.server.pid());
    stop = true;
    attacker.join();
    std::sort(latencyMs.begin(), latencyMs.end());
    auto at = [&](double q) { return latencyMs.empty() ? 0.0 : latencyMs[static_cast<size_t>(q * (latencyMs.size() - 1))]; };
    const long within = std::count_if(latencyMs.begin(), latencyMs.end(), [](double ms) { return ms <= 100; });
    std::printf("slowloris: %d trickling sockets (%ld opened, %ld closed by the server), %d s\n", sockets,
                opened.load(), closedByServer.load(), seconds);
    std::printf("normal client GET /v1/mivrels: %d of %d served (%.1f%%), %ld within 100 ms; latency median %.2f ms, "
                "p99 %.2f ms, max %.2f ms; server threads %d\n",
                served, tries, tries ? 100.0 * served / tries : 0.0, within, at(0.5), at(0.99),
                latencyMs.empty() ? 0.0 : latencyMs.back(), threads);
    std::printf("target: every request served within 100 ms\n");
    printLoad("after");
    home.server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--llama-server") == 0) {
        const std::filesystem::path program = std::filesystem::absolute(argv[2]);
        if (!std::filesystem::exists(program)) {
            std::fprintf(stderr, "no llama-server at %s (bench/build_llama_server.sh builds it)\n", program.c_str());
            return 1;
        }
        return llamaServerMode(program.string(), argc > 3 ? std::atoi(argv[3]) : 3);
    }
    if (argc >= 2 && std::strcmp(argv[1], "--slowloris") == 0) {
        return slowlorisMode(argc > 2 ? std::atoi(argv[2]) : 2000, argc > 3 ? std::atoi(argv[3]) : 20);
    }
    if (argc >= 2 && argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: %s [seconds]                                 the front end against the socket floor\n"
                     "       %s --llama-server <program> [seconds]        brisvanesrv against llama.cpp's server\n"
                     "       %s --slowloris [sockets] [seconds]           a normal client under a slowloris attack\n",
                     argv[0], argv[0], argv[0]);
        return 1;
    }
    return frontEndMode(argc > 1 ? std::atoi(argv[1]) : 3);
}
