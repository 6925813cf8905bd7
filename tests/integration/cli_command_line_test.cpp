// The real brisvane's command table against the real brisvanesrv: words
// known and unknown, "--conf" before and after the word or without value,
// the home found from the configuration path and by the search, "version"
// that never starts the server, and the server started for "status".
#include <gtest/gtest.h>

#include <filesystem>

#include "support/server_process.h"
#include "support/temp_dir.h"
#include "tool_runner.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "Usage: brisvane <command> [--conf <path>]\n"
    "  --version Show brisvane and brisvanesrv versions (also: -v, version).\n"
    "  status    Show process and inference service status.\n"
    "  up        Activate this Brisvane: register with api.brisvane.net and establish\n"
    "            the RTS reverse tunnel. Prints an auth URL if not yet approved.\n"
    "  down      Deactivate: close the RTS tunnel. Process keeps running.\n"
    "  shutdown  Deactivate (like down) and then terminate the brisvanesrv process.\n"
    "  reset     Reset registration info so this Brisvane can be registered again.\n";

// A home with a configuration on a free port, and the tool in its own folder.
class ToolCommandLine : public ::testing::Test {
protected:
    ToolCommandLine() : port_(freeLoopbackPort()) {
        writeServerConf(home_.path(), "SERV_IP=localhost\nSERV_PORT=" + std::to_string(port_) + "\n");
        homePath_ = fs::canonical(home_.path()).string();
    }

    std::string conf() const { return homePath_ + "/conf/serv.conf"; }
    std::string reportPortLine() const { return "  Port        : " + std::to_string(port_) + "\n"; }

    TempDir home_;
    std::string homePath_;
    uint16_t port_;
    ToolInstall tool_;
};

TEST_F(ToolCommandLine, MissingUnknownAndUpdateWordsFailWithoutAServer) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const std::string noServer = "Error: Could not connect to brisvanesrv — is running?\n";
    const Case cases[] = {
        {{}, 1, "", kUsage},
        {{"", "--conf", "conf/serv.conf"}, 1, "", kUsage},
        {{"bogus", "--conf", "conf/serv.conf"}, 1, "", kUsage},
        {{"STATUS"}, 1, "", kUsage},
        {{"--conf"}, 1, "", kUsage},
        {{"app_update_local", "a.zip"}, 1, "", "Usage: brisvane app_update_local <zip경로> <sha256>\n"},
        // The words that do not start the server fail at their first request.
        {{"app_update"}, 1, "", noServer},
        {{"app_update_local", "a.zip", "abc"}, 1, "Applying local zip: a.zip\n", noServer},
        {{"app_update_step2"}, 1, "", "Nothing to apply (no " + homePath_ + "/work/_update_ready/brisvanesrv).\n"},
        {{"app_update_rollback"}, 1, "", "Error: work/_rollback 이 없습니다 — 복원할 내용이 없습니다.\n"},
        {{"app_update_cleanup"}, 0, "0 directory(ies) cleaned up.\n", ""},
    };
    for (const Case& c : cases) {
        const ToolRun run = tool_.run(c.args, homePath_);
        EXPECT_EQ(run.exitCode, c.exitCode) << testing::PrintToString(c.args);
        EXPECT_EQ(run.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(run.err, c.err) << testing::PrintToString(c.args);
    }
    EXPECT_FALSE(portAccepts(port_)) << "no server was started";
    EXPECT_TRUE(tool_.adoptedServers().empty());
}

TEST_F(ToolCommandLine, VersionNeverStartsTheServer) {
    for (const char* word : {"version", "-v", "--version"}) {
        const ToolRun run = tool_.run({word}, homePath_);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out, "brisvane 1.0.23\nbrisvanesrv (not running)\n");
        EXPECT_EQ(run.err, "");
    }
    // The version the server recorded beside the tool, else in its parent.
    fs::create_directories(tool_.root() + "/work");
    writeTextFile(tool_.root() + "/work/.runtime.properties", "APP_VERSION = 1.0.21\n");
    EXPECT_EQ(tool_.run({"version"}, homePath_).out, "brisvane 1.0.23\nbrisvanesrv 1.0.21 (last run, not running)\n");
    fs::create_directories(tool_.binDir() + "/work");
    writeTextFile(tool_.binDir() + "/work/.runtime.properties", "# stamp\nAPP_VERSION = 1.0.22\n");
    EXPECT_EQ(tool_.run({"version"}, homePath_).out, "brisvane 1.0.23\nbrisvanesrv 1.0.22 (last run, not running)\n");
    EXPECT_FALSE(portAccepts(port_));
    EXPECT_TRUE(tool_.adoptedServers().empty());

    // A running server reports its own version.
    ASSERT_EQ(tool_.run({"status"}, homePath_).exitCode, 0);
    EXPECT_EQ(tool_.run({"-v", "--conf", conf()}, "/").out, "brisvane 1.0.23\nbrisvanesrv 1.0.23 (running)\n");
}

TEST_F(ToolCommandLine, StatusStartsTheServerWithTheAbsoluteConfigurationInItsHome) {
    // Relative "--conf" after the word, SERV_IP "localhost".
    const ToolRun first = tool_.run({"status", "--conf", "conf/serv.conf"}, homePath_);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out.rfind("brisvanesrv is not running — starting it...\nbrisvanesrv started.\n"
                              "\n=== Brisvane Status ===\n\n[Process]\n  Status      : running\n",
                              0),
              0u)
        << first.out;
    EXPECT_NE(first.out.find(reportPortLine()), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("[Mivrels]  0 registered, 0 loaded\n"), std::string::npos) << first.out;

    const std::vector<pid_t> servers = tool_.adoptedServers();
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(processCwd(servers[0]), homePath_);
    const std::vector<std::string> args = processArgs(servers[0]);
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(fs::path(args[0]).filename(), "brisvanesrv");
    EXPECT_EQ(args[1], "--conf");
    EXPECT_EQ(args[2], homePath_ + "/conf/serv.conf");
    EXPECT_TRUE(fs::exists(homePath_ + "/logs/brisvane.log")) << "the server's home";

    // "--conf" before the word, from another folder: the server answers, so
    // only the report is printed.
    const ToolRun again = tool_.run({"--conf", conf(), "status"}, "/");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.out.rfind("\n=== Brisvane Status ===\n", 0), 0u) << again.out;
    EXPECT_NE(again.out.find(reportPortLine()), std::string::npos);
    EXPECT_EQ(tool_.adoptedServers().size(), 1u);

    // "--conf" without a value is a word of its own; the search finds the
    // current directory's configuration.
    const ToolRun search = tool_.run({"status", "--conf"}, homePath_);
    EXPECT_EQ(search.exitCode, 0);
    EXPECT_NE(search.out.find(reportPortLine()), std::string::npos);
}

TEST_F(ToolCommandLine, HomeSearchOrderAndBrisvaneHome) {
    // One server; the configuration that should win points at it, the others
    // at a port where nothing listens. "down" tells which one was read.
    ServerProcess server;
    ASSERT_TRUE(server.start({}, homePath_, {{"BRISVANE_LOCK_FILE", homePath_ + "/lock"}}));
    ASSERT_TRUE(server.waitListening(port_));
    const std::string live = "SERV_IP=127.0.0.1\nSERV_PORT=" + std::to_string(port_) + "\n";
    const std::string dead = "SERV_IP=127.0.0.1\nSERV_PORT=" + std::to_string(freeLoopbackPort()) + "\n";
    TempDir cwd;
    auto down = [&](const std::map<std::string, std::string>& env = {}) {
        return tool_.run({"down"}, cwd.path(), env).exitCode;
    };

    writeServerConf(cwd.path(), live);
    writeServerConf(tool_.binDir(), dead);
    writeServerConf(tool_.root(), dead);
    EXPECT_EQ(down(), 0) << "the current directory first";
    EXPECT_EQ(down({{"BRISVANE_HOME", tool_.root()}}), 1) << "BRISVANE_HOME before the search";
    EXPECT_EQ(down({{"BRISVANE_HOME", homePath_}}), 0);

    fs::remove_all(cwd.file("conf"));
    writeServerConf(tool_.binDir(), live);
    EXPECT_EQ(down(), 0) << "then the executable's folder";

    writeServerConf(tool_.binDir(), dead);
    EXPECT_EQ(down(), 1);
    fs::remove_all(tool_.binDir() + "/conf");
    writeServerConf(tool_.root(), live);
    EXPECT_EQ(down(), 0) << "then its parent";

    writeServerConf(cwd.path(), dead);
    const ToolRun refused = tool_.run({"down"}, cwd.path(), {{"BRISVANE_HOME", cwd.path()}});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Error: Could not connect to brisvanesrv — is running?\n");
    EXPECT_EQ(server.stop(), 0);
}

TEST_F(ToolCommandLine, ConfigurationAndStartFailuresEndWithAnError) {
    struct Case {
        std::string conf;
        std::map<std::string, std::string> env;
        std::string err;
    };
    const std::string logs = homePath_ + "/logs\n";
    const Case cases[] = {
        {"SERV_IP=\n", {}, "Error: Invalid host: \n"},
        {"SERV_IP=brisvane.example\n", {}, "Error: Invalid host: brisvane.example\n"},
        {"SERV_PORT=abc\n", {}, "Error: SERV_PORT in " + conf() + " is not a port number (1..65535): \"abc\"\n"},
        {"SERV_PORT=70000\n", {}, "Error: SERV_PORT in " + conf() + " is not a port number (1..65535): \"70000\"\n"},
        // The server refuses to start: an unusable BRISVANE_HOME is its own
        // start-up error 1011 (exit code 243).
        {"SERV_IP=127.0.0.1\nSERV_PORT=" + std::to_string(port_) + "\n",
         {{"BRISVANE_HOME", "/nonexistent/home"}},
         "Error: brisvanesrv exited during startup (exit code 243). Check " + logs},
    };
    for (const Case& c : cases) {
        writeServerConf(homePath_, c.conf);
        const ToolRun run = tool_.run({"status", "--conf", conf()}, "/", c.env);
        EXPECT_EQ(run.exitCode, 1) << c.conf;
        EXPECT_EQ(run.err, c.err) << c.conf;
    }
    EXPECT_TRUE(tool_.adoptedServers().empty());

    ToolInstall withoutServer(false);
    writeServerConf(homePath_, "SERV_IP=127.0.0.1\nSERV_PORT=" + std::to_string(port_) + "\n");
    const ToolRun missing = withoutServer.run({"up", "--conf", conf()}, "/");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "Error: brisvanesrv is not running and " + withoutServer.binDir() +
                               "/brisvanesrv was not found.\n");
}

}  // namespace
