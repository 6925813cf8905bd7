// Model download throughput and memory. A local TLS stand-in (a CA made here,
// trusted through SSL_CERT_FILE) serves one 512 MiB file as the catalogue's
// model; the real brisvanesrv downloads it through its model download job,
// and curl fetches the same file from the same stand-in in the same run.
// The two alternate order every round; medians (with min and max) are printed.
//
// Figures: MiB/s of the transfer (from the start request until the job
// reports every byte; the job's digest check is left out, as curl has none),
// curl's MiB/s and the ratio (target >= 0.8x), and the server's resident
// memory before the download and at its peak while downloading (sampled from
// /proc every 20 ms; the file is streamed to disk, so the peak stays near the
// baseline).
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/machine_load.h"
#include "common/rounds.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "support/tls_file_host.h"

extern char** environ;

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr long long kFileBytes = 512LL * 1024 * 1024;
constexpr int kDefaultRounds = bench::kMinRounds;

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void writeBigFile(const std::string& path) {
    std::mt19937 generator(42);
    std::string block(1 << 20, '\0');
    for (char& c : block) c = static_cast<char>(generator() & 0xFF);
    std::ofstream out(path, std::ios::binary);
    for (long long i = 0; i < kFileBytes / static_cast<long long>(block.size()); ++i) {
        block[0] = static_cast<char>(i);  // no two blocks alike
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

json jobOf(uint16_t port, const std::string& modelId) {
    const HttpReply reply = httpRequest(port, "GET", "/mgmt-api/models/download");
    const json list = json::parse(reply.body, nullptr, false);
    if (list.is_discarded()) return nullptr;
    for (const json& entry : list["downloads"]) {
        if (entry["modelId"] == modelId) return entry;
    }
    return nullptr;
}

struct ServerRound {
    bool ok = false;
    double seconds = 0;
    long baselineKiB = 0;
    long peakKiB = 0;
};

ServerRound serverRound(ServerProcess& server, uint16_t port, const std::string& modelId) {
    ServerRound round;
    round.baselineKiB = residentKiB(server.pid());
    round.peakKiB = round.baselineKiB;
    const Clock::time_point start = Clock::now();
    const HttpReply reply = httpRequest(port, "POST", "/mgmt-api/models/download", {{"Content-Type", "application/json"}},
                                        json({{"modelId", modelId}}).dump());
    if (reply.status != 200) {
        std::fprintf(stderr, "start failed: %d %s\n", reply.status, reply.body.c_str());
        return round;
    }
    for (;;) {
        round.peakKiB = std::max(round.peakKiB, residentKiB(server.pid()));
        const json job = jobOf(port, modelId);
        if (!job.is_null() && job["bytesDownloaded"].get<long long>() >= kFileBytes) break;
        if (!job.is_null() && job["status"] != "downloading" && job["status"] != "verifying" && job["status"] != "completed") {
            std::fprintf(stderr, "download ended as %s\n", job.dump().c_str());
            return round;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    round.seconds = seconds(start);
    // Let the job finish before the model is removed for the next round.
    for (int i = 0; i < 500; ++i) {
        const json job = jobOf(port, modelId);
        if (!job.is_null() && job["status"] == "completed") break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    round.ok = true;
    httpRequest(port, "POST", "/mgmt-api/models/" + modelId + "/delete");
    return round;
}

double curlRound(const std::string& caPath, const std::string& url, const std::string& outPath) {
    std::vector<std::string> args = {"curl", "-s", "-f", "--cacert", caPath, "-o", outPath, url};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    const double elapsed = seconds(start);
    std::error_code ec;
    const bool complete = std::filesystem::file_size(outPath, ec) == static_cast<uintmax_t>(kFileBytes);
    std::filesystem::remove(outPath, ec);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && complete ? elapsed : -1;
}

}  // namespace

int main() {
    bench::LoadAverageReport loadReport("download_bench");
    TempDir dir;
    TestCertificateAuthority ca;
    ca.writeCertificate(dir.file("ca.pem"));
    TlsFileHost host(ca.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
    std::printf("writing the %lld MiB file...\n", kFileBytes >> 20);
    writeBigFile(dir.file("big.bin"));
    host.setFile("/files/big.bin", dir.file("big.bin"));
    const std::string url = "https://localhost:" + std::to_string(host.port()) + "/files/big.bin";
    host.setDocument("/brisvane/api/modelCatalog?modelId=big",
                     catalogAnswer(json({{"name", "Big"}, {"dnUrl", url}, {"filename", "big.bin"}, {"fileSize", kFileBytes}}).dump()));

    const std::string home = dir.file("home");
    std::filesystem::create_directories(home + "/work");
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home, testServerConf(port));
    ServerProcess server;
    if (!server.start({}, home, {{"SSL_CERT_FILE", dir.file("ca.pem")},
                                 {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(host.port())}}) ||
        !server.waitListening(port)) {
        std::fprintf(stderr, "brisvanesrv did not start: %s\n", server.stderrText().c_str());
        return 1;
    }

    std::vector<double> serverSeconds;
    std::vector<double> curlSeconds;
    long baseline = 0;
    long peak = 0;
    const bool ok = bench::alternateRounds(
        bench::roundCount(kDefaultRounds),
        [&](int round) {
            const ServerRound s = serverRound(server, port, "big");
            if (!s.ok) {
                std::fprintf(stderr, "round %d: the server's download failed\n", round + 1);
                return false;
            }
            serverSeconds.push_back(s.seconds);
            baseline = serverSeconds.size() == 1 ? s.baselineKiB : std::min(baseline, s.baselineKiB);
            peak = std::max(peak, s.peakKiB);
            std::printf("round %2d: brisvanesrv %.1f MiB/s, RSS %ld -> %ld KiB\n", round + 1,
                        (kFileBytes >> 20) / s.seconds, s.baselineKiB, s.peakKiB);
            return true;
        },
        [&](int round) {
            const double c = curlRound(dir.file("ca.pem"), url, dir.file("curl.out"));
            if (c < 0) {
                std::fprintf(stderr, "round %d: curl failed\n", round + 1);
                return false;
            }
            curlSeconds.push_back(c);
            std::printf("round %2d: curl %.1f MiB/s\n", round + 1, (kFileBytes >> 20) / c);
            return true;
        });
    if (!ok) return 1;
    const std::vector<double> serverRates = bench::scaled(serverSeconds, kFileBytes >> 20, true);
    const std::vector<double> curlRates = bench::scaled(curlSeconds, kFileBytes >> 20, true);
    std::printf("\nmodel download  %s MiB/s\n", bench::describe(bench::spreadOf(serverRates)).c_str());
    std::printf("curl            %s MiB/s\n", bench::describe(bench::spreadOf(curlRates)).c_str());
    std::printf("ratio           %.2fx of the medians (target >= 0.80x)\n", bench::medianRatio(serverRates, curlRates));
    std::printf("resident memory %ld KiB before, %ld KiB peak while downloading (+%ld KiB)\n", baseline, peak,
                peak - baseline);
    server.stop();
    return 0;
}
