// Request times of the system reports on the real brisvanesrv: the product
// information's first build, then many requests of the system status (with
// and without the hardware description) and of the cached product
// information, against a trivial management request measured in the same
// run. Usage: bench_sysinfo_bench [requests per kind, default 200]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
    double median = 0, p95 = 0, max = 0;
};

Figures measure(uint16_t port, const std::string& target, int count) {
    std::vector<double> times;
    for (int k = 0; k < count; ++k) {
        const auto start = Clock::now();
        const HttpReply reply = httpRequest(port, "GET", target);
        times.push_back(msSince(start));
        if (reply.status != 200) {
            std::fprintf(stderr, "%s answered %d\n", target.c_str(), reply.status);
            std::exit(1);
        }
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 95 / 100)], times.back()};
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    TempDir home;
    std::filesystem::create_directories(home.file("models"));
    std::filesystem::create_directories(home.file("mivrel"));
    std::filesystem::create_directories(home.file("work"));
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    writeTextFile(home.file("work/.runtime.properties"), "APP_ID=sysinfo-bench\n");
    // Three instances listed, so the status document reads their files.
    std::string list;
    for (const char* id : {"a", "b", "c"}) {
        std::filesystem::create_directories(home.file(std::string("mivrel/") + id));
        writeTextFile(home.file(std::string("mivrel/") + id + "/properties.json"),
                      std::string("{\"name\": \"") + id + "\", \"modelId\": \"m\"}");
        list += std::string(list.empty() ? "" : ",") + "{\"mivrelId\": \"" + id + "\"}";
    }
    writeTextFile(home.file("mivrel/mivrel.json"), "{\"mivrelList\": [" + list + "]}");
    writeTextFile(home.file("models/models.json"), "{\"models\": [{\"modelId\": \"m\", \"name\": \"M\"}]}");

    ServerProcess server;
    if (!server.start({}, home.path(), {}) || !server.waitListening(port)) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    std::printf("load average before: %s\n", loadAverage().c_str());
    auto start = Clock::now();
    httpRequest(port, "GET", "/mgmt-api/productInfo");
    std::printf("productInfo first build        %8.2f ms\n", msSince(start));
    start = Clock::now();
    httpRequest(port, "GET", "/mgmt-api/systemStatus");
    std::printf("systemStatus first (sampler)   %8.2f ms\n", msSince(start));

    const Figures reference = measure(port, "/mgmt-api/runtime_properties", count);
    const struct {
        const char* name;
        const char* target;
    } kinds[] = {
        {"systemStatus", "/mgmt-api/systemStatus"},
        {"systemStatus include=spec", "/mgmt-api/systemStatus?include=spec"},
        {"productInfo (cached)", "/mgmt-api/productInfo"},
    };
    std::printf("%-28s %9s %9s %9s %8s\n", "request", "median", "p95", "max", "ratio");
    std::printf("%-28s %7.3fms %7.3fms %7.3fms %8s\n", "runtime_properties (ref)", reference.median, reference.p95,
                reference.max, "1.00");
    for (const auto& kind : kinds) {
        const Figures f = measure(port, kind.target, count);
        std::printf("%-28s %7.3fms %7.3fms %7.3fms %8.2f\n", kind.name, f.median, f.p95, f.max,
                    f.median / reference.median);
    }
    start = Clock::now();
    httpRequest(port, "GET", "/mgmt-api/productInfo?refresh=1");
    std::printf("productInfo refresh=1          %8.2f ms\n", msSince(start));
    std::printf("load average after: %s (%d requests per kind)\n", loadAverage().c_str(), count);
    server.stop();
    return 0;
}
