// Program updates end to end with the real programs in a temporary
// installation folder (brisvanesrv, brisvane, conf and work side by side):
// the tool asks, downloads with progress, applies (the server stopped,
// files replaced, the server restarted with the service back on, the new
// version running), rolls back byte for byte and cleans up; a local archive
// with a good and a wrong digest; an apply that fails part-way ends with the
// old installation restored and running; and the server hands an update to
// the tool, which completes it alone. The maker's web service and the
// archive host are a TLS stand-in; the new version is a copy of the built
// server with another version text stamped into it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "instance_home.h"
#include "support/http_client.h"
#include "support/server_process.h"
#include "support/test_paths.h"
#include "support/tls_file_host.h"
#include "support/zip_writer.h"
#include "tool_runner.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kCheckTarget[] =
    "/brisvane/api/checkAppUpdate?component=brisvanesrv&currentVersion=1.0.23&platform=linux-x64";
constexpr char kManifestTarget[] =
    "/brisvane/api/appUpdateManifest?component=brisvanesrv&targetVersion=1.0.99&platform=linux-x64";
constexpr char kStarting[] = "brisvanesrv is not running — starting it...\nbrisvanesrv started.\n";

std::string envelope(const json& data) { return json{{"retcode", 0}, {"retdesc", "ok"}, {"data", data}}.dump(); }

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The built server with its version text "1.0.23" replaced by "1.0.99" (the
// program keeps it in one place, app/version.h): a build of the next
// version, made once per test program.
const std::string& nextVersionServer() {
    static TempDir* dir = new TempDir;
    static const std::string path = [] {
        std::string bytes = readAll(brisvanesrvPath());
        size_t stamped = 0;
        for (size_t at = bytes.find("1.0.23"); at != std::string::npos; at = bytes.find("1.0.23", at + 6)) {
            bytes.replace(at, 6, "1.0.99");
            ++stamped;
        }
        EXPECT_GT(stamped, 0u);
        const std::string file = dir->file("brisvanesrv");
        std::ofstream(file, std::ios::binary) << bytes;
        fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        return file;
    }();
    return path;
}

// Parent, session and program name of a process, from /proc/<pid>/stat.
bool processInfo(pid_t pid, pid_t* parent, pid_t* session, std::string* name) {
    const std::string stat = readTextFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return false;
    *name = stat.substr(open + 1, close - open - 1);
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    long ppid = 0, group = 0, sid = 0;
    fields >> state >> ppid >> group >> sid;
    *parent = static_cast<pid_t>(ppid);
    *session = static_cast<pid_t>(sid);
    return state != "Z";
}

// An installation folder with its own configuration and runtime state, the
// tool run from it, and the servers it starts adopted by this process.
class AppUpdateTool : public ::testing::Test {
protected:
    void SetUp() override {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        root_ = fs::canonical(dir_.path()).string();
        port_ = freeLoopbackPort();
        std::error_code ec;
        // A hard link runs as this folder's program (its executable path is
        // here) without copying the large file.
        fs::create_hard_link(brisvanesrvPath(), file("brisvanesrv"), ec);
        if (ec) fs::copy_file(brisvanesrvPath(), file("brisvanesrv"));
        fs::copy_file(builtProgramsDir() + "/brisvane", file("brisvane"));
        writeServerConf(root_, testServerConf(port_, "LOCAL_V1_ACCESS=true\n"));
        fs::create_directories(file("work"));
        writeTextFile(file("work/.runtime.properties"),
                      "APP_ID = 11111111-2222-4333-8444-555555555555\nBRISVANE_EXPORT = false\n");
        ca_.writeCertificate(aux_.file("ca.pem"));
        host_ = std::make_unique<TlsFileHost>(ca_.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
        host_->setDocument(kCheckTarget, envelope({{"updateAvailable", false}, {"latestVersion", "1.0.23"}}));
        host_->setDocument("/brisvane/api/registerBrisvane",
                           envelope({{"brisvaneId", "dev-1"}, {"brisvaneName", "Desk"}, {"apiBase", "https://api.example"},
                                     {"brisvane_api_key", "key-1"}, {"brisvaneToken", "tok-1"},
                                     // A relay address where nothing answers: the service is
                                     // on and its relay keeps trying.
                                     {"rtsHost", "127.0.0.1"}}));
    }

    void TearDown() override {
        // Servers the tool started: children of this process (adopted) that
        // lead a session of their own. Each must end cleanly.
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            const pid_t pid = std::stoi(name);
            pid_t parent = 0, session = 0;
            std::string program;
            if (!processInfo(pid, &parent, &session, &program)) continue;
            if (parent != ::getpid() || session != pid || program != "brisvanesrv") continue;
            ::kill(pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 400 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "server " << pid;
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    std::string file(const std::string& relative) const { return root_ + "/" + relative; }
    std::map<std::string, std::string> env() const {
        return {{"SSL_CERT_FILE", aux_.file("ca.pem")},
                {"BRISVANE_WEB_API", "https://localhost:" + std::to_string(host_->port())},
                {"BRISVANE_LOCK_FILE", aux_.file("brisvanesrv.lock")},
                {"TSAN_OPTIONS", "suppressions=" + sourceDir() + "/tests/sanitizers/tsan.supp"}};
    }
    ToolRun tool(const std::vector<std::string>& args, int timeoutMs = 90000) const {
        ServerProcess process;
        ToolRun run;
        if (!process.start(args, root_, env(), file("brisvane"))) return run;
        run.exitCode = process.waitExit(timeoutMs);
        if (run.exitCode == -1) process.stop(SIGKILL);
        run.out = process.stdoutText();
        run.err = process.stderrText();
        return run;
    }
    HttpReply get(const std::string& target) const { return httpRequest(port_, "GET", target); }
    HttpReply post(const std::string& target, const std::string& body) const {
        return httpRequest(port_, "POST", target, {{"Content-Type", "application/json"}}, body);
    }
    std::string runningVersion() const {
        return bodyJson(get("/mgmt-api/cli/status"))["process"].value("version", "");
    }
    // Offers version 1.0.99 as the archive of `entries`.
    void offer(const std::vector<ZipEntry>& entries) {
        writeZip(aux_.file("update.zip"), entries);
        host_->setFile("/files/update.zip", aux_.file("update.zip"));
        host_->setDocument(kCheckTarget, envelope({{"updateAvailable", true},
                                                   {"latestVersion", "1.0.99"},
                                                   {"releaseNotes", "Faster start."}}));
        host_->setDocument(kManifestTarget,
                           envelope({{"zipUrl", "https://localhost:" + std::to_string(host_->port()) + "/files/update.zip"},
                                     {"zipSha256", sha256OfFile(aux_.file("update.zip"))},
                                     {"zipSize", fs::file_size(aux_.file("update.zip"))}}));
    }
    // Waits until `condition` holds, for at most `seconds`.
    template <typename Condition>
    bool waitUntil(Condition condition, int seconds = 60) const {
        for (int i = 0; i < seconds * 10; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return condition();
    }

    TempDir dir_;
    TempDir aux_;
    std::string root_;
    uint16_t port_ = 0;
    TestCertificateAuthority ca_;
    std::unique_ptr<TlsFileHost> host_;
};

TEST_F(AppUpdateTool, AsksDownloadsAppliesRollsBackAndCleansUp) {
    ToolRun run = tool({"app_update_available"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, std::string(kStarting) + "No update available. (latest: 1.0.23)\n");
    run = tool({"app_update"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "No update available. (latest: 1.0.23)\n") << "nothing stopped";
    ASSERT_EQ(tool({"up"}).exitCode, 0);
    ASSERT_EQ(get("/v1/mivrels").status, 200) << "the service is on";

    const std::string originalServer = sha256OfFile(file("brisvanesrv"));
    const std::string originalTool = sha256OfFile(file("brisvane"));
    const std::string originalConf = readTextFile(file("conf/serv.conf"));
    offer({{"brisvanesrv", nextVersionServer(), 0100755, true},
           {"brisvane", builtProgramsDir() + "/brisvane", 0100755, true},
           {"extras/NEW.txt", "added by 1.0.99"}});
    run = tool({"app_update_available"});
    EXPECT_EQ(run.out, "Update available: 1.0.99\nFaster start.\n");

    host_->setThrottle(2, 256 << 10);  // about 800 pauses: a few progress lines
    run = tool({"app_update_dn"});
    host_->setThrottle(0);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("Downloading brisvanesrv 1.0.99 ...\n\r[downloading] ", 0), 0u) << run.out;
    const std::string readyLine = "\nDownload ready: work/_update_ready/brisvanesrv\n";
    EXPECT_EQ(run.out.substr(run.out.size() - readyLine.size()), readyLine);
    EXPECT_EQ(sha256OfFile(file("work/_update_ready/brisvanesrv/brisvanesrv")), sha256OfFile(nextVersionServer()));

    run = tool({"app_update"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Stopping brisvanesrv...\nBacking up current files to work/_rollback...\n"
                           "Applying update...\n  3 file(s) replaced.\nRestarting brisvanesrv...\n" +
                           std::string(kStarting) + "Reactivating (was up before the update)...\n"
                           "\nUpdate applied. Run 'brisvane app_update_rollback' if something is wrong.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(runningVersion(), "1.0.99");
    EXPECT_EQ(tool({"version"}).out, "brisvane 1.0.23\nbrisvanesrv 1.0.99 (running)\n");
    EXPECT_EQ(get("/v1/mivrels").status, 200) << "the service is on again";
    EXPECT_EQ(sha256OfFile(file("brisvanesrv")), sha256OfFile(nextVersionServer()));
    EXPECT_EQ(readTextFile(file("extras/NEW.txt")), "added by 1.0.99");
    EXPECT_NE(fs::status(file("brisvanesrv")).permissions() & fs::perms::owner_exec, fs::perms::none);
    // The replaced programs stay beside the new ones: the last way back.
    EXPECT_EQ(sha256OfFile(file("brisvanesrv.old")), originalServer);
    EXPECT_EQ(sha256OfFile(file("brisvane.old")), originalTool);
    EXPECT_FALSE(fs::exists(file("work/_update_ready/brisvanesrv")));
    EXPECT_EQ(readTextFile(file("work/_rollback/APP_VERSION.txt")), "1.0.23");
    EXPECT_EQ(sha256OfFile(file("work/_rollback/brisvanesrv")), originalServer);

    run = tool({"app_update_rollback"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("Stopping brisvanesrv...\nRestoring from work/_rollback...\n", 0), 0u) << run.out;
    const std::string end = "Restarting brisvanesrv...\n" + std::string(kStarting) +
                            "\nRollback complete. (restored to version 1.0.23)\n";
    EXPECT_EQ(run.out.substr(run.out.size() - end.size()), end) << run.out;
    EXPECT_EQ(sha256OfFile(file("brisvanesrv")), originalServer) << "byte for byte";
    EXPECT_EQ(sha256OfFile(file("brisvane")), originalTool);
    EXPECT_EQ(readTextFile(file("conf/serv.conf")), originalConf);
    EXPECT_EQ(runningVersion(), "1.0.23");
    EXPECT_EQ(sha256OfFile(file("brisvanesrv.old")), sha256OfFile(nextVersionServer()))
        << "the rolled-back version is moved aside and kept";
    EXPECT_FALSE(fs::exists(file("work/_rollback")));
    run = tool({"app_update_rollback"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "Error: work/_rollback 이 없습니다 — 복원할 내용이 없습니다.\n");

    run = tool({"app_update_cleanup"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "2 directory(ies) cleaned up.\n") << "the download and ready folders";
    EXPECT_FALSE(fs::exists(file("work/_update_dn")));
    EXPECT_FALSE(fs::exists(file("work/_update_ready")));
    EXPECT_EQ(sha256OfFile(file("brisvanesrv.old")), sha256OfFile(nextVersionServer())) << "cleanup leaves it";
    EXPECT_EQ(sha256OfFile(file("brisvane.old")), originalTool);
}

TEST_F(AppUpdateTool, LocalArchivesAndAnApplyThatFailsPartWay) {
    writeTextFile(file("a-first.txt"), "first v1");
    ASSERT_EQ(tool({"status"}).exitCode, 0);

    const std::string archive = aux_.file("local.zip");
    writeZip(archive, {{"a-first.txt", "first v2"}, {"MARKER.txt", "local update"}});
    const std::string digest = sha256OfFile(archive);
    ToolRun run = tool({"app_update_local", archive, std::string(64, '0')});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Applying local zip: " + archive + "\n");
    EXPECT_EQ(run.err, "ERROR:\n\"code\"    : apply_failed\n\"message\" : SHA256 mismatch (expected=" +
                           std::string(64, '0') + " actual=" + digest + ")\n");
    run = tool({"app_update_local", aux_.file("missing.zip"), digest});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "ERROR:\n\"code\"    : apply_failed\n\"message\" : zip file not found: " +
                           aux_.file("missing.zip") + "\n");
    EXPECT_EQ(get("/mgmt-api/cli/status").status, 200) << "still running";
    EXPECT_FALSE(fs::exists(file("MARKER.txt")));

    run = tool({"app_update_local", archive, digest});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.out.rfind("Applying local zip: " + archive + "\nwork/_update_ready 준비 완료.\nStopping brisvanesrv...\n", 0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("  2 file(s) replaced.\n"), std::string::npos) << run.out;
    const std::string closing = "\nLocal update applied. Run 'brisvane app_update_rollback' if something is wrong.\n";
    EXPECT_EQ(run.out.substr(run.out.size() - closing.size()), closing);
    EXPECT_EQ(readTextFile(file("MARKER.txt")), "local update");
    EXPECT_EQ(readTextFile(file("a-first.txt")), "first v2");
    EXPECT_NE(run.out.find("Restarting brisvanesrv...\n" + std::string(kStarting)), std::string::npos) << run.out;
    EXPECT_EQ(get("/mgmt-api/cli/status").status, 200);

    // An update whose last file cannot be replaced: its ".old" name is a
    // folder with contents.
    const std::string tree = file("work/_update_ready/brisvanesrv");
    fs::create_directories(tree);
    writeTextFile(tree + "/a-first.txt", "first v3");
    writeTextFile(tree + "/brisvane", "a broken tool");
    writeTextFile(tree + "/zz-blocked.txt", "blocked v3");
    writeTextFile(file("zz-blocked.txt"), "blocked v1");
    fs::create_directories(file("zz-blocked.txt.old"));
    writeTextFile(file("zz-blocked.txt.old/keep.txt"), "keep");
    const std::string toolBefore = sha256OfFile(file("brisvane"));

    run = tool({"app_update_step2"});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_EQ(run.err, "Error: update failed: cannot replace " + file("zz-blocked.txt") +
                           ": Directory not empty\nThe previous files were restored.\n");
    EXPECT_NE(run.out.find("Applying update...\nRestarting brisvanesrv...\n" + std::string(kStarting)),
              std::string::npos)
        << run.out;
    EXPECT_EQ(readTextFile(file("a-first.txt")), "first v2");
    EXPECT_EQ(sha256OfFile(file("brisvane")), toolBefore);
    EXPECT_EQ(readTextFile(file("zz-blocked.txt")), "blocked v1");
    EXPECT_EQ(readTextFile(file("zz-blocked.txt.old/keep.txt")), "keep");
    EXPECT_FALSE(fs::exists(file("a-first.txt.old")));
    EXPECT_FALSE(fs::exists(file("brisvane.old")));
    EXPECT_EQ(runningVersion(), "1.0.23") << "the old installation runs again";
}

TEST_F(AppUpdateTool, TheServerHandsTheUpdateToTheTool) {
    ASSERT_EQ(tool({"status"}).exitCode, 0);
    offer({{"MARKER.txt", "handed over"}});
    HttpReply reply = post("/mgmt-api/app/triggerUpdate", "  \r\n");
    EXPECT_EQ(reply.body, R"({"success":{"message":"update triggered.","mode":"full"}})");
    const std::string log = file("logs/app_update.log");
    EXPECT_TRUE(waitUntil([&] { return readTextFile(log).find("Update applied.") != std::string::npos; }))
        << readTextFile(log);
    EXPECT_EQ(readTextFile(file("MARKER.txt")), "handed over");
    EXPECT_TRUE(waitUntil([&] { return get("/mgmt-api/cli/status").status == 200; }, 20));
    const std::string text = readTextFile(log);
    EXPECT_NE(text.find("Downloading brisvanesrv 1.0.99 ...\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Stopping brisvanesrv...\n"), std::string::npos) << text;

    reply = post("/mgmt-api/app/triggerUpdate", R"({"mode":"apply"})");
    EXPECT_EQ(reply.body, R"({"success":{"message":"update triggered.","mode":"apply"}})");
    EXPECT_TRUE(waitUntil([&] { return readTextFile(log).find("Nothing to apply") != std::string::npos; }))
        << readTextFile(log);
    EXPECT_EQ(get("/mgmt-api/cli/status").status, 200) << "nothing to apply stops nothing";

    fs::remove(file("brisvane"));
    reply = post("/mgmt-api/app/triggerUpdate", "[1,2]");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body,
              R"({"error":{"code":"internal_error","message":"failed to trigger brisvane app_update"}})");
}

}  // namespace
