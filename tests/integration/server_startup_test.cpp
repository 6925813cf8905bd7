// Start-up of the real brisvanesrv: result codes as exit codes, home and
// configuration discovery, the main log, the single-instance guard and the
// exit on SIGINT/SIGTERM.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/http_client.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string canonical(const std::string& path) { return fs::canonical(path).string(); }

TEST(ServerStartup, VersionAndHelp) {
    TempDir home;
    for (const char* flag : {"--version", "-v"}) {
        const ServerRun run = runServerToExit({"--verbose", flag}, home.path());
        EXPECT_EQ(run.exitCode, 0) << flag;
        EXPECT_EQ(run.out, "\nbrisvanesrv 1.0.23\n") << flag;
    }
    const ServerRun help = runServerToExit({"help"}, home.path());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Brisvane (v1.0.23)\n--------------------------------------------------\n", 0), 0u);
    EXPECT_NE(help.out.find("  brisvanesrv --conf <path>          # Specify conf file\n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(home.path())) << "help touches no file";
}

TEST(ServerStartup, ResultCodesBecomeExitCodes) {
    TempDir dir;
    const std::string home = dir.path();
    const uint16_t port = freeLoopbackPort();
    writeTextFile(dir.file("empty.conf"), "");
    writeTextFile(dir.file("file"), "x");
    writeTextFile(dir.file("bad-port.conf"), "SERV_PORT=70000\n");
    writeTextFile(dir.file("word-port.conf"), "SERV_PORT=abc\n");

    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int exitCode;
        std::string stderrHas;
    } cases[] = {
        {{"--nope"}, {}, 1001 & 0xFF, "[WARNING] Unknown argument: --nope\n"},
        {{"--conf=x.conf"}, {}, 1001 & 0xFF, "[WARNING] Unknown argument: --conf=x.conf\n"},
        {{"--VERSION"}, {}, 1001 & 0xFF, "[WARNING] Unknown argument: --VERSION\n"},
        {{"--conf"}, {}, 1002 & 0xFF, "[ERROR] --conf requires a file path\n"},
        {{}, {}, 1011 & 0xFF, "[ERROR] No conf file found. Use --conf <path> or place conf/serv.conf\n"},
        {{"--conf", "empty.conf"}, {}, 1011 & 0xFF, "[ERROR] No conf file found."},
        {{"--conf", "missing.conf"}, {}, 1011 & 0xFF, "[ERROR] conf file read failed: Unable to open file: "},
        {{"--conf", home}, {}, 1011 & 0xFF,
         "[ERROR] conf file read failed: Unable to read file: " + home + " (Is a directory)\n"},
        {{}, {{"BRISVANE_HOME", dir.file("file")}}, 1011 & 0xFF, "[ERROR] BRISVANE_HOME is not a directory: "},
        {{"--conf", "bad-port.conf"}, {}, 1011 & 0xFF, "[ERROR] SERV_PORT out of range (1..65535): 70000\n"},
        {{"--conf", "word-port.conf"}, {}, 9999 & 0xFF, "(code 9999)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stderrHas);
        const ServerRun run = runServerToExit(c.args, home, c.env);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_NE(run.err.find(c.stderrHas), std::string::npos) << run.err;
    }

    // A conf/serv.conf that is a directory is a broken configuration, not a
    // missing one; the search does not go on to conf/runtime.conf.
    TempDir broken;
    fs::create_directories(fs::path(broken.path()) / "conf" / "serv.conf");
    writeTextFile(broken.file("conf/runtime.conf"), testServerConf(port));
    const ServerRun run = runServerToExit({}, broken.path(), {});
    EXPECT_EQ(run.exitCode, 1011 & 0xFF);
    EXPECT_NE(run.err.find("[ERROR] conf file read failed: Unable to read file: conf/serv.conf (Is a directory)\n"),
              std::string::npos)
        << run.err;
}

TEST(ServerStartup, PortInUseIs1302) {
    TempDir first, second;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(first.path(), testServerConf(port));
    writeServerConf(second.path(), testServerConf(port));
    ServerProcess running;
    ASSERT_TRUE(running.start({}, first.path()));
    ASSERT_TRUE(running.waitListening(port)) << running.stderrText();

    const ServerRun run = runServerToExit({}, second.path());
    EXPECT_EQ(run.exitCode, 1302 & 0xFF);
    EXPECT_NE(run.err.find("Application startup error: (ret=1302) TcpServer::start failed: bind() failed: "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("(code 1302)"), std::string::npos) << "the full code is printed";
    EXPECT_NE(readTextFile(second.file("logs/brisvane.log")).find("(code 1302)"), std::string::npos)
        << "and logged";
}

TEST(ServerStartup, RunsLogsAndStopsOnSignals) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    fs::create_directories(home.file("logs"));
    writeTextFile(home.file("logs/brisvane.log"), "OLD MARKER\n");

    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ServerProcess server;
        ASSERT_TRUE(server.start({"--verbose"}, "/", {{"BRISVANE_HOME", home.path()}}));
        ASSERT_TRUE(server.waitListening(port)) << server.stderrText();
        EXPECT_EQ(httpRequest(port, "GET", "/nothing").status, 404);
        EXPECT_EQ(server.stop(signal), 0) << "the normal exit path ends with 0";

        const std::string log = readTextFile(home.file("logs/brisvane.log"));
        EXPECT_EQ(log.find("OLD MARKER"), std::string::npos) << "recreated at each start";
        const std::string root = canonical(home.path());
        EXPECT_NE(log.find("[home] " + root + " (from BRISVANE_HOME), conf=" + root + "/conf/serv.conf\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("Brisvane 1.0.23\nLocal execution layer for Halvoro\n"), std::string::npos);
        EXPECT_NE(log.find("[main] running... (Ctrl+C to stop)\n"), std::string::npos);
        EXPECT_EQ(log.find("\033["), std::string::npos) << "no colours in the file";
        // The console names the address to open once the server listens, and
        // says when it has stopped.
        const std::string out = server.stdoutText();
        EXPECT_NE(out.find("Brisvane 1.0.23\nLocal execution layer for Halvoro\n"), std::string::npos);
        const size_t listening =
            out.find("brisvanesrv is listening: open http://127.0.0.1:" + std::to_string(port) + "/ in a browser");
        EXPECT_NE(listening, std::string::npos) << out;
        const size_t stopped = out.find("brisvanesrv stopped\n");
        EXPECT_NE(stopped, std::string::npos) << out;
        EXPECT_LT(listening, stopped) << out;
        writeTextFile(home.file("logs/brisvane.log"), "OLD MARKER\n");
    }
}

TEST(ServerStartup, DefaultLocalhostAddressIsResolved) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), "SERV_PORT=" + std::to_string(port) + "\n");
    ServerProcess server;
    ASSERT_TRUE(server.start({}, home.path()));
    EXPECT_TRUE(server.waitListening(port)) << server.stderrText();
    // "localhost" is reached through 127.0.0.1: that is the address to open.
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(server.stdoutText().find("open http://127.0.0.1:" + std::to_string(port) + "/ in a browser"),
              std::string::npos)
        << server.stdoutText();
}

TEST(ServerStartup, HomeDiscovery) {
    TempDir dir;
    const uint16_t port = freeLoopbackPort();
    const fs::path root = canonical(dir.path());
    // A copy of the program in an installation folder of its own, so that its
    // directory and parent can hold the configuration.
    const fs::path bin = root / "install" / "bin";
    fs::create_directories(bin);
    fs::copy_file(brisvanesrvPath(), bin / "brisvanesrv");
    fs::permissions(bin / "brisvanesrv", fs::perms::owner_all);
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere / "conf");
    writeTextFile((elsewhere / "conf" / "serv.conf").string(), testServerConf(port));
    writeTextFile((elsewhere / "own.conf").string(), testServerConf(port));

    struct Case {
        const char* name;
        fs::path cwd;
        std::vector<std::string> args;
        fs::path confDir;  // where conf/serv.conf is placed ("" none)
        std::string homeLine;
    } cases[] = {
        {"cwd", elsewhere, {"--verbose"}, "", elsewhere.string() + " (from cwd), conf=" + elsewhere.string() +
                                                  "/conf/serv.conf"},
        {"--conf", elsewhere, {"--verbose", "--conf", "own.conf"}, "",
         elsewhere.string() + " (from cwd (--conf)), conf=" + elsewhere.string() + "/own.conf"},
        {"exe dir", root, {"--verbose"}, bin, bin.string() + " (from exe dir), conf=" + bin.string() + "/conf/serv.conf"},
        {"exe parent dir", root, {"--verbose"}, bin.parent_path(),
         bin.parent_path().string() + " (from exe parent dir), conf=" + bin.parent_path().string() + "/conf/serv.conf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(bin / "conf");
        fs::remove_all(bin.parent_path() / "conf");
        if (!c.confDir.empty()) writeServerConf(c.confDir.string(), testServerConf(port));
        ServerProcess server;
        ASSERT_TRUE(server.start(c.args, c.cwd.string(), {}, (bin / "brisvanesrv").string()));
        ASSERT_TRUE(server.waitListening(port)) << server.stderrText();
        EXPECT_EQ(server.stop(), 0);
        const fs::path home = c.confDir.empty() ? c.cwd : c.confDir;
        const std::string log = readTextFile((home / "logs" / "brisvane.log").string());
        EXPECT_NE(log.find("[home] " + c.homeLine + "\n"), std::string::npos) << log;
    }
}

TEST(ServerStartup, SecondInstanceEndsAtOnce) {
    TempDir first, second;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(first.path(), testServerConf(port));
    writeServerConf(second.path(), testServerConf(freeLoopbackPort()));
    ServerProcess running;
    ASSERT_TRUE(running.start({}, first.path()));
    ASSERT_TRUE(running.waitListening(port));

    const ServerRun again = runServerToExit({}, second.path(), {{"BRISVANE_LOCK_FILE", running.lockFile()}});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_NE(again.err.find("already running"), std::string::npos);
    EXPECT_FALSE(fs::exists(second.file("logs"))) << "the second instance did not start a server";
    EXPECT_EQ(httpRequest(port, "GET", "/nothing").status, 404) << "the first keeps running";
}

}  // namespace
