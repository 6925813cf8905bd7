// The server's half of program updates on the real brisvanesrv: the update
// check, the manifest, the download job with its progress and its end states
// (ready, digest mismatch, answers a transfer must refuse, unsafe archives),
// one job per component, and archives from the local disk. The maker's web
// service and the archive host are a TLS stand-in with a CA made here.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "instance_home.h"
#include "support/tls_file_host.h"
#include "support/zip_writer.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;
using Fault = TlsFileHost::Fault;

constexpr char kCheckTarget[] =
    "/brisvane/api/checkAppUpdate?component=brisvanesrv&currentVersion=1.0.23&platform=linux-x64";
constexpr char kManifestTarget[] =
    "/brisvane/api/appUpdateManifest?component=brisvanesrv&targetVersion=1.0.99&platform=linux-x64";
constexpr char kStatus[] = "/mgmt-api/app/updateDownload?component=brisvanesrv";

std::string envelope(const json& data, int retcode = 0, const std::string& retdesc = "ok") {
    return json{{"retcode", retcode}, {"retdesc", retdesc}, {"data", data}}.dump();
}

json errorOf(const HttpReply& reply) { return bodyJson(reply)["error"]; }

class AppUpdateEndpoints : public ::testing::Test {
protected:
    void SetUp() override {
        ca_.writeCertificate(home_.dir().file("ca.pem"));
        host_ = std::make_unique<TlsFileHost>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
        fs::create_directories(home_.dir().file("served"));
        ASSERT_TRUE(home_.start({{"SSL_CERT_FILE", home_.dir().file("ca.pem")},
                                 {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(host_->port())}}));
    }

    std::string path(const std::string& relative) const { return home_.dir().file(relative); }
    // Writes an archive of `entries` to served/<name>, serves it and returns
    // its URL.
    std::string serve(const std::string& name, const std::vector<ZipEntry>& entries, Fault fault = Fault::kNone) {
        writeZip(path("served/" + name), entries);
        host_->setFile("/files/" + name, path("served/" + name), fault);
        return "https://localhost:" + std::to_string(host_->port()) + "/files/" + name;
    }
    void offer(const json& manifest) { host_->setDocument(kManifestTarget, envelope(manifest)); }
    HttpReply startDownload() const {
        return home_.post("/mgmt-api/app/updateDownload", R"({"component":"brisvanesrv","targetVersion":"1.0.99"})");
    }
    // Polls the job until it leaves the running states.
    json waitForEnd() const {
        json status;
        for (int i = 0; i < 600; ++i) {
            status = bodyJson(home_.get(kStatus));
            const std::string state = status.value("status", "");
            if (state != "downloading" && state != "verifying" && state != "extracting") return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the job did not end: " << status.dump();
        return status;
    }
    std::string ready(const std::string& file) const {
        return readTextFile(path("work/_update_ready/brisvanesrv/" + file));
    }

    InstanceHome home_;
    TestCertificateAuthority ca_;
    std::unique_ptr<TlsFileHost> host_;
};

TEST_F(AppUpdateEndpoints, CheckForwardsTheServiceAndRefusalsLeaveNoJob) {
    EXPECT_EQ(home_.get(kStatus).body, R"({"status":"none"})");
    EXPECT_EQ(home_.get("/mgmt-api/app/updateDownload").body, R"({"status":"none"})");

    host_->setDocument(kCheckTarget, envelope({{"updateAvailable", true}, {"latestVersion", "1.0.99"}}));
    HttpReply reply = home_.get("/mgmt-api/app/updateAvailable");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, R"({"latestVersion":"1.0.99","updateAvailable":true})");
    host_->setDocument(kCheckTarget, envelope(nullptr));
    EXPECT_EQ(home_.get("/mgmt-api/app/updateAvailable?component=brisvanesrv").body, "null");
    host_->setDocument(kCheckTarget, envelope({}, 4, "unknown component"));
    reply = home_.get("/mgmt-api/app/updateAvailable");
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(errorOf(reply), json({{"code", "check_update_failed"}, {"message", "unknown component"}}));
    reply = home_.get("/mgmt-api/app/updateAvailable?x=1&component=other");
    EXPECT_EQ(reply.status, 502) << "nothing offered for \"other\"";
    EXPECT_EQ(errorOf(reply)["message"].get<std::string>().rfind("failed to check for updates: ", 0), 0u);
    EXPECT_NE(host_->requests().back().find("component=other&currentVersion=1.0.23&platform=linux-x64"),
              std::string::npos);

    struct Case {
        std::string target;
        std::string body;
        int status;
        std::string code;
        std::string message;
    };
    host_->setDocument("/brisvane/api/appUpdateManifest?component=brisvanesrv&targetVersion=1.0.98&platform=linux-x64",
                       envelope({}, 9, "no such version"));
    offer({{"zipSha256", ""}});
    const Case cases[] = {
        {"/mgmt-api/app/updateDownload", "{", 400, "bad_request", "invalid JSON"},
        {"/mgmt-api/app/updateDownload", R"({"component":"brisvanesrv"})", 400, "bad_request", "missing targetVersion"},
        {"/mgmt-api/app/updateDownload", R"({"targetVersion":"1.0 \r\nHost: x"})", 400, "bad_request",
         "invalid targetVersion: 1.0 \r\nHost: x"},
        {"/mgmt-api/app/updateDownload", R"({"component":"../../etc","targetVersion":"1.0.99"})", 400, "bad_request",
         "invalid component: ../../etc"},
        {"/mgmt-api/app/updateDownload", R"({"targetVersion":"1.0.98"})", 502, "manifest_fetch_failed",
         "no such version"},
        {"/mgmt-api/app/updateDownload", R"({"targetVersion":"1.0.99"})", 502, "no_download_url",
         "no zipUrl in manifest"},
        {"/mgmt-api/app/updateLocal", R"({"zipPath":"a.zip"})", 400, "bad_request", "missing zipPath/sha256"},
        {"/mgmt-api/app/updateLocal", R"({"component":"a/b","zipPath":"a.zip","sha256":"00"})", 400, "bad_request",
         "invalid component: a/b"},
        {"/mgmt-api/app/triggerUpdate", R"({"mode":"APPLY"})", 400, "bad_request",
         "mode must be \"full\" or \"apply\""},
        {"/mgmt-api/app/triggerUpdate", R"({"mode":1})", 400, "bad_request", "invalid JSON"},
    };
    for (const Case& c : cases) {
        const HttpReply answer = home_.post(c.target, c.body);
        EXPECT_EQ(answer.status, c.status) << c.body;
        EXPECT_EQ(errorOf(answer), json({{"code", c.code}, {"message", c.message}})) << c.body;
    }
    EXPECT_EQ(home_.get(kStatus).body, R"({"status":"none"})") << "a refused start leaves no record";
}

TEST_F(AppUpdateEndpoints, DownloadShowsProgressAndPublishesTheVerifiedTree) {
    const std::string payload(3 << 20, 'p');
    const std::vector<ZipEntry> v1 = {{"brisvanesrv", "server v1", 0100755}, {"webapp/index.html", payload}};
    const std::string url = serve("v1.zip", v1);
    // The repeated text deflates to a few KiB; the throttle keeps the
    // transfer running for about a second.
    const int64_t size = static_cast<int64_t>(fs::file_size(path("served/v1.zip")));
    offer({{"zipUrl", url}, {"zipSha256", sha256OfFile(path("served/v1.zip"))}, {"zipSize", size}});
    host_->setThrottle(100, 256);

    ASSERT_EQ(startDownload().body, R"({"success":{"message":"download started"}})");
    const HttpReply second = startDownload();
    EXPECT_EQ(second.status, 409);
    EXPECT_EQ(errorOf(second), json({{"code", "already_downloading"}, {"message", "already downloading"}}));
    const HttpReply local = home_.post("/mgmt-api/app/updateLocal",
                                       json{{"zipPath", path("served/v1.zip")}, {"sha256", "00"}}.dump());
    EXPECT_EQ(local.status, 409) << "a local archive waits for the running job";
    json during;
    for (int i = 0; i < 200; ++i) {
        during = bodyJson(home_.get(kStatus));
        if (during["bytesDownloaded"].get<int64_t>() > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(during["status"], "downloading");
    EXPECT_EQ(during["targetVersion"], "1.0.99");
    EXPECT_EQ(during["totalBytes"], size);
    EXPECT_GT(during["progressPercent"].get<double>(), 0.0);
    EXPECT_LT(during["progressPercent"].get<double>(), 100.0);
    host_->setThrottle(0);

    const json done = waitForEnd();
    EXPECT_EQ(done, json({{"component", "brisvanesrv"},
                          {"targetVersion", "1.0.99"},
                          {"status", "ready"},
                          {"progressPercent", 100.0},
                          {"bytesDownloaded", size},
                          {"totalBytes", size},
                          {"sha256Verified", true}}));
    EXPECT_EQ(ready("brisvanesrv"), "server v1");
    EXPECT_EQ(ready("webapp/index.html"), payload);
    EXPECT_NE(fs::status(path("work/_update_ready/brisvanesrv/brisvanesrv")).permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_FALSE(fs::exists(path("work/_update_dn/brisvanesrv.zip")));
    EXPECT_NE(host_->requests().front().find(kManifestTarget), std::string::npos);

    // Without a digest the web service's choice is kept, and said.
    offer({{"zipUrl", serve("v2.zip", {{"brisvanesrv", "server v2"}})}});
    ASSERT_EQ(startDownload().status, 200);
    const json unchecked = waitForEnd();
    EXPECT_EQ(unchecked["status"], "ready");
    EXPECT_EQ(unchecked["sha256Verified"], false);
    EXPECT_EQ(unchecked["totalBytes"], 0);
    EXPECT_EQ(ready("brisvanesrv"), "server v2");
    EXPECT_NE(home_.serverLog().find("zipSha256 없음"), std::string::npos);
}

TEST_F(AppUpdateEndpoints, AFailedJobLeavesTheReadyFolderAndTheNextStartsOver) {
    offer({{"zipUrl", serve("v1.zip", {{"brisvanesrv", "server v1"}})}});
    ASSERT_EQ(startDownload().status, 200);
    ASSERT_EQ(waitForEnd()["status"], "ready");

    const std::vector<ZipEntry> v2 = {{"brisvanesrv", "server v2"}};
    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        Fault fault;
        json manifest;  // zipUrl added
        std::string message;  // the start of errorMessage
    };
    const Case cases[] = {
        {"wrong digest", v2, Fault::kNone, {{"zipSha256", std::string(64, 'a')}},
         "SHA256 불일치 (expected=" + std::string(64, 'a') + " actual="},
        {"not found", v2, Fault::kNotFound, json::object(), "download of brisvanesrv.zip failed: HTTP/1.1 404 Not Found"},
        {"truncated", v2, Fault::kTruncateHalf, json::object(), "archive size mismatch: brisvanesrv.zip"},
        {"chunked", v2, Fault::kChunked, json::object(), "chunked transfer encoding is not supported"},
        {"size differs", v2, Fault::kNone, {{"zipSize", 10}}, "archive size mismatch: brisvanesrv.zip"},
        {"dot-dot entry", {{"brisvanesrv", "x"}, {"../../../escape.txt", "x"}}, Fault::kNone, json::object(),
         "unsafe zip entry refused"},
        {"link entry", {{"lib", "/usr/lib", 0120777}, {"lib/evil.so", "x"}}, Fault::kNone, json::object(),
         "unsafe zip entry refused"},
        // The archive cap holds whatever the answer or the manifest announce.
        {"huge length", v2, Fault::kHugeLength, json::object(), "archive larger than 4294967296 bytes: brisvanesrv.zip"},
        {"huge manifest size", v2, Fault::kEndless, {{"zipSize", 10000000000000ll}},
         "archive larger than 4294967296 bytes: brisvanesrv.zip"},
    };
    for (const Case& c : cases) {
        json manifest = c.manifest;
        manifest["zipUrl"] = serve("bad.zip", c.entries, c.fault);
        offer(manifest);
        ASSERT_EQ(startDownload().status, 200) << c.what << ": a failed record is replaced";
        const json end = waitForEnd();
        EXPECT_EQ(end["status"], "failed") << c.what;
        EXPECT_EQ(end.value("errorMessage", "").rfind(c.message, 0), 0u) << c.what << ": " << end.dump();
        EXPECT_EQ(ready("brisvanesrv"), "server v1") << c.what;
        EXPECT_FALSE(fs::exists(path("escape.txt")));
        EXPECT_FALSE(fs::exists(path("work/escape.txt")));
        EXPECT_FALSE(fs::exists(path("work/_update_dn/brisvanesrv.zip"))) << c.what << ": a failed job deletes its archive";
    }
}

TEST_F(AppUpdateEndpoints, LocalArchivesAreCheckedAndUnsafeOnesRefused) {
    const std::string good = path("good.zip");
    writeZip(good, {{"brisvanesrv", "local v1", 0100755}, {"conf/extra.txt", "x"}});
    const std::string digest = sha256OfFile(good);
    const auto local = [&](const std::string& zipPath, const std::string& sha256) {
        return home_.post("/mgmt-api/app/updateLocal", json{{"zipPath", zipPath}, {"sha256", sha256}}.dump());
    };
    HttpReply reply = local(good, digest);
    EXPECT_EQ(reply.body, R"J({"success":{"message":"local update applied (work/_update_ready is ready)"}})J");
    EXPECT_EQ(ready("brisvanesrv"), "local v1");
    EXPECT_TRUE(fs::exists(good)) << "the caller's archive stays";
    EXPECT_EQ(local("good.zip", digest).status, 200) << "relative to the server's home";

    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    reply = local(good, upper);
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(errorOf(reply), json({{"code", "apply_failed"},
                                    {"message", "SHA256 mismatch (expected=" + upper + " actual=" + digest + ")"}}));
    reply = local(path("missing.zip"), digest);
    EXPECT_EQ(errorOf(reply), json({{"code", "apply_failed"}, {"message", "zip file not found: " + path("missing.zip")}}));

    struct Case {
        const char* what;
        std::vector<ZipEntry> entries;
        uint32_t forgedSize;  // 0: as written
    };
    const Case cases[] = {
        {"dot-dot", {{"brisvanesrv", "x"}, {"../../escape.txt", "x"}}, 0},
        {"absolute", {{"brisvanesrv", "x"}, {path("escape.txt"), "x"}}, 0},
        {"symlink", {{"brisvanesrv", "x"}, {"work", "..", 0120777}, {"work/escape.txt", "x"}}, 0},
        {"oversized", {{"brisvanesrv", "x"}, {"zeros.bin", std::string(1000, '\0')}}, 0xF0000000u},
    };
    for (const Case& c : cases) {
        const std::string bad = path("bad.zip");
        writeZip(bad, c.entries);
        if (c.forgedSize) forgeUncompressedSize(bad, "zeros.bin", c.forgedSize);
        reply = local(bad, sha256OfFile(bad));
        EXPECT_EQ(reply.status, 400) << c.what;
        EXPECT_EQ(errorOf(reply)["code"], "apply_failed") << c.what;
        EXPECT_EQ(ready("brisvanesrv"), "local v1") << c.what;
        EXPECT_FALSE(fs::exists(path("escape.txt"))) << c.what;
        EXPECT_FALSE(fs::exists(path("work/escape.txt"))) << c.what;
    }
    EXPECT_EQ(home_.get(kStatus).body, R"({"status":"none"})") << "local updates keep out of the job table";
}

}  // namespace
