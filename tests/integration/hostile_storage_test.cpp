// A hostile run against what the real brisvanesrv writes to disk or reads
// into memory on a peer's say-so: a client that floods the event log, a file
// host whose body never ends (a model file without a declared size, an
// update archive that announces 10 TB), and a page that includes an endless
// device or a file far larger than a page. Each attack asserts the bound it
// meets (file sizes, the server's peak memory), never how long it took.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "instance_home.h"
#include "platform/volume_space.h"
#include "support/test_models.h"
#include "support/tls_file_host.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using Fault = TlsFileHost::Fault;

// A server built with the sanitizers carries their shadow memory: its bounds
// are wider, still far below what the attacks took before.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kMemoryScale = 3;
#else
constexpr uint64_t kMemoryScale = 1;
#endif

// The server's peak resident memory (VmHWM) in bytes, 0 when unknown.
uint64_t peakResidentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

size_t lineCount(const std::string& path) {
    std::ifstream in(path);
    size_t lines = 0;
    std::string line;
    while (std::getline(in, line)) ++lines;
    return lines;
}

uint64_t sizeOf(const std::string& path) {
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

// Polls `target` until `done` holds for the reply's JSON (at most 2 min).
json waitFor(const InstanceHome& home, const std::string& target, const std::function<bool(const json&)>& done) {
    json last;
    for (int i = 0; i < 2400; ++i) {
        last = bodyJson(home.get(target));
        if (done(last)) return last;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << target << " did not get there: " << last.dump();
    return last;
}

// A client that loops a storage reset writes an event per request: the file
// keeps a bounded size, and a restart on a gigabyte log (as an older version
// left it) reads only its end.
TEST(HostileStorage, FloodedEventLogStaysBoundedAndRestartsOnItsTail) {
    InstanceHome home;
    home.addModel("tiny", "tiny.gguf", testmodels::kTinyChatFile, {{"assembler", "qwen3"}});
    home.addInstance("chat", "tiny");
    ASSERT_TRUE(home.start());
    const std::string events = home.dir().file("logs/events.jsonl");

    size_t longest = 0;
    for (int i = 0; i < 2600; ++i) {
        ASSERT_EQ(home.post("/mgmt-api/mivrel/chat/storage/reset", "").status, 200);
        if (i % 100 == 0) longest = std::max(longest, lineCount(events));
    }
    longest = std::max(longest, lineCount(events));
    EXPECT_LE(longest, 4u * 500u) << "the file is cut back to the kept records";
    const json listed = bodyJson(home.get("/mgmt-api/events"));
    EXPECT_EQ(listed["events"].size(), 500u);
    ASSERT_EQ(home.process().stop(), 0);

    // A gigabyte of old lines (sparse), then the newest records.
    std::string newest;
    for (int i = 1; i <= 600; ++i) {
        newest += json({{"eventId", "ev-" + std::to_string(9000000 + i)}, {"time", "2026-01-01T00:00:00Z"},
                        {"level", "info"}, {"category", "mivrel"}, {"actor", "chat"}, {"text", "Mivrel storage reset"},
                        {"detail", std::to_string(i)}})
                      .dump() +
                  "\n";
    }
    {
        std::ofstream out(events, std::ios::binary | std::ios::trunc);
        out.seekp(1ll << 30);
        out << "\n" << newest;
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(home.start());
    const auto listening = std::chrono::steady_clock::now() - started;
    const uint64_t peak = peakResidentBytes(home.process().pid());
    const json reloaded = bodyJson(home.get("/mgmt-api/events"));
    ASSERT_EQ(reloaded["events"].size(), 500u);
    // The newest records of the file, then what the restart itself logged.
    bool newestKept = false;
    for (const json& event : reloaded["events"]) newestKept = newestKept || event["eventId"] == "ev-9000600";
    EXPECT_TRUE(newestKept);
    EXPECT_GT(reloaded["events"][0]["eventId"].get<std::string>(), "ev-9000600") << "numbers go on";
    EXPECT_LT(sizeOf(events), 1u << 20) << "cut back at start-up";
    EXPECT_LT(peak, kMemoryScale * (512ull << 20)) << "start-up never holds the whole file";
    std::printf("[ figures ] flood: longest file %zu lines; restart on a 1 GiB log: listening after %lld ms, "
                "peak RSS %llu MiB\n",
                longest, static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(listening).count()),
                static_cast<unsigned long long>(peak >> 20));
}

class HostileHosts : public ::testing::Test {
protected:
    void SetUp() override {
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        host_ = std::make_unique<TlsFileHost>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
        fs::create_directories(home_.dir().file("served"));
        writeTextFile(home_.dir().file("served/seed"), "seed");
    }
    bool start() {
        return home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                            {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(host_->port())}});
    }
    std::string url(const std::string& path) const { return "https://localhost:" + std::to_string(host_->port()) + path; }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<TlsFileHost> host_;
};

// A model file whose catalogue record declares no size and whose host never
// stops: the download stops at the free-space reserve of the models volume
// with a clear failure, instead of filling the disk.
TEST_F(HostileHosts, EndlessModelDownloadStopsAtTheFreeSpaceReserve) {
    const VolumeSpace space = queryVolumeSpace(home_.dir().path());
    ASSERT_TRUE(space.known);
    // Leave the download 64 MiB of room above the reserve.
    const uint64_t reserveMiB = (space.availableBytes >> 20) - 64;
    writeServerConf(home_.dir().path(), testServerConf(home_.port(), "LOCAL_V1_ACCESS=true\nMODELS_FREE_SPACE_RESERVE_MB=" +
                                                                         std::to_string(reserveMiB) + "\n"));
    host_->setFile("/files/endless.gguf", home_.dir().file("served/seed"), Fault::kEndless);
    host_->setDocument("/brisvane/api/modelCatalog?modelId=endless",
                       catalogAnswer(json({{"name", "Endless"}, {"dnUrl", url("/files/endless.gguf")},
                                           {"filename", "endless.gguf"}})
                                         .dump()));
    ASSERT_TRUE(start());
    ASSERT_EQ(home_.post("/mgmt-api/models/download", R"({"modelId":"endless"})").status, 200);
    const json end = waitFor(home_, "/mgmt-api/models/download", [](const json& list) {
        return !list["downloads"].empty() && list["downloads"][0]["status"] != "downloading";
    });
    const json job = end["downloads"][0];
    EXPECT_EQ(job["status"], "failed");
    EXPECT_EQ(job["errorMessage"].get<std::string>().rfind("not enough free space on the models volume for endless.gguf", 0),
              0u)
        << job.dump();
    const uint64_t written = sizeOf(home_.dir().file("models/endless/endless.gguf"));
    // 64 MiB of room, a check every few MiB, and other writers on the volume.
    EXPECT_LT(written, 512ull << 20);
    EXPECT_LE(job["progressPercent"].get<double>(), 100.0);
    std::printf("[ figures ] endless model download: stopped after %llu MiB\n",
                static_cast<unsigned long long>(written >> 20));
}

// An update archive announced as 10 TB, and one without any size that never
// ends: neither gets past the archive cap, and a failed job leaves no archive.
TEST_F(HostileHosts, EndlessUpdateIsRefusedAndLeavesNoArchive) {
    ASSERT_TRUE(start());
    host_->setFile("/files/update.zip", home_.dir().file("served/seed"), Fault::kHugeLength);
    host_->setDocument(
        "/brisvane/api/appUpdateManifest?component=brisvanesrv&targetVersion=1.0.99&platform=linux-x64",
        json({{"retcode", 0}, {"retdesc", "ok"}, {"data", {{"zipUrl", url("/files/update.zip")}}}}).dump());
    ASSERT_EQ(home_.post("/mgmt-api/app/updateDownload", R"({"component":"brisvanesrv","targetVersion":"1.0.99"})").status,
              200);
    const json end = waitFor(home_, "/mgmt-api/app/updateDownload?component=brisvanesrv", [](const json& job) {
        const std::string status = job.value("status", "");
        return status != "downloading" && status != "verifying" && status != "extracting";
    });
    EXPECT_EQ(end["status"], "failed");
    EXPECT_EQ(end.value("errorMessage", "").rfind("archive larger than 4294967296 bytes", 0), 0u) << end.dump();
    EXPECT_FALSE(fs::exists(home_.dir().file("work/_update_dn/brisvanesrv.zip")));
}

// A page that includes an endless device and a file far larger than a page:
// the server reads neither beyond the page's size limit.
TEST_F(HostileHosts, EndlessIncludeIsReadOnlyToThePageLimit) {
    fs::create_directories(home_.dir().file("webapp/test"));
    const std::string huge = home_.dir().file("huge.inc");
    { std::ofstream(huge).put('h'); }
    fs::resize_file(huge, 4ull << 30);
    writeTextFile(home_.dir().file("webapp/test/zero.html"), "a<%@ include file='/dev/zero' %>b");
    writeTextFile(home_.dir().file("webapp/test/huge.html"), "a<%@ include file='" + huge + "' %>b");
    ASSERT_TRUE(start());

    const HttpReply zero = home_.get("/test/zero.html");
    EXPECT_EQ(zero.status, 200);
    EXPECT_EQ(zero.body, "a[! include file not found: /dev/zero ]b");
    const HttpReply big = home_.get("/test/huge.html");
    EXPECT_EQ(big.status, 200);
    EXPECT_LE(big.body.size(), 16u << 20);
    EXPECT_NE(big.body.find("[! template limit reached: page larger than"), std::string::npos);
    const uint64_t peak = peakResidentBytes(home_.process().pid());
    EXPECT_LT(peak, kMemoryScale * (1ull << 30)) << "a 4 GiB include was never held";
    std::printf("[ figures ] endless include: peak RSS %llu MiB\n", static_cast<unsigned long long>(peak >> 20));
}

}  // namespace
