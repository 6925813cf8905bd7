// Reading the tool's command line, the home and configuration rules, and the
// tool's reading of the server's configuration and runtime state files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli/command_line.h"
#include "cli/serv_conf.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace fs = std::filesystem;

namespace {

TEST(CommandLineTest, ConfAnywhereLastWinsAndTrailingConfIsAWord) {
    struct Case {
        std::vector<std::string> args;
        std::string word;
        std::vector<std::string> rest;
        std::string conf;
        bool confGiven;
    };
    const Case cases[] = {
        {{}, "", {}, "", false},
        {{"status"}, "status", {}, "", false},
        {{"--conf", "/x/conf/serv.conf", "status"}, "status", {}, "/x/conf/serv.conf", true},
        {{"status", "--conf", "/x/conf/serv.conf"}, "status", {}, "/x/conf/serv.conf", true},
        {{"status", "--conf"}, "status", {"--conf"}, "", false},
        {{"--conf"}, "--conf", {}, "", false},
        {{"--conf", "a", "--conf", "b", "up"}, "up", {}, "b", true},
        {{"", "down", "x", "", "y"}, "down", {"x", "", "y"}, "", false},
        {{"app_update_local", "f.zip", "--conf", "c", "abc"}, "app_update_local", {"f.zip", "abc"}, "c", true},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(c.args);
        EXPECT_EQ(line.word, c.word);
        EXPECT_EQ(line.args, c.rest);
        EXPECT_EQ(line.confPath, c.conf);
        EXPECT_EQ(line.confGiven, c.confGiven);
    }
}

// Runs with the current directory changed, restoring it afterwards.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

TEST(CommandLineTest, HomeIsTwoLevelsAboveTheConfigurationOrFoundBySearch) {
    TempDir dir;
    const std::string root = fs::canonical(dir.path()).string();
    fs::create_directories(root + "/srv/conf");
    InDirectory in(root + "/srv");
    ScopedEnvVar home("BRISVANE_HOME", "/ignored/with/conf");

    CommandLine line = parseCommandLine({"--conf", root + "/x/conf/serv.conf", "status"});
    HomeAndConf found = homeAndConfFor(line);
    EXPECT_EQ(found.home, root + "/x");
    EXPECT_EQ(found.confPath, root + "/x/conf/serv.conf");

    line = parseCommandLine({"status", "--conf", "conf/serv.conf"});
    found = homeAndConfFor(line);
    EXPECT_EQ(found.home, root + "/srv");
    EXPECT_EQ(found.confPath, "conf/serv.conf") << "passed on as typed";

    line = parseCommandLine({"status", "--conf", "../y/conf/serv.conf"});
    EXPECT_EQ(homeAndConfFor(line).home, root + "/y");

    // BRISVANE_HOME without "--conf": nothing is checked.
    line = parseCommandLine({"status"});
    found = homeAndConfFor(line);
    EXPECT_EQ(found.home, "/ignored/with/conf");
    EXPECT_EQ(found.confPath, "/ignored/with/conf/conf/serv.conf");
    {
        ScopedEnvVar relative("BRISVANE_HOME", "rel");
        EXPECT_EQ(homeAndConfFor(line).home, root + "/srv/rel");
    }
    {
        // Neither: the current directory's conf/serv.conf when it exists.
        ScopedEnvVar empty("BRISVANE_HOME", "");
        found = homeAndConfFor(line);
        EXPECT_EQ(found.home, root + "/srv");
        EXPECT_EQ(found.confPath, "conf/serv.conf") << "none found beside the test program either";
        writeTextFile(root + "/srv/conf/serv.conf", "");
        found = homeAndConfFor(line);
        EXPECT_EQ(found.home, root + "/srv");
        EXPECT_EQ(found.confPath, root + "/srv/conf/serv.conf");
    }
}

TEST(ServConfTest, AddressDefaultsEmptyHostAndPortsThatAreNoPorts) {
    TempDir dir;
    const std::string conf = dir.file("serv.conf");
    struct Case {
        std::string text;
        std::string host;
        int port;  // 0: refused
    };
    const Case cases[] = {
        {"", "127.0.0.1", 4092},
        {"SERV_IP=10.1.2.3 # office\nSERV_PORT = 5000\n", "10.1.2.3", 5000},
        {"SERV_IP=\n", "", 4092},
        {"SERV_IP=localhost\r\nSERV_PORT=+4100xyz\r\n", "localhost", 4100},
        {"SERV_PORT=1\nSERV_PORT=65535\n", "127.0.0.1", 65535},
        {"SERV_PORT=abc\n", "", 0},
        {"SERV_PORT=\n", "", 0},
        {"SERV_PORT=0\n", "", 0},
        {"SERV_PORT=65536\n", "", 0},
        {"SERV_PORT=-4092\n", "", 0},
        {"SERV_PORT=99999999999999\n", "", 0},
    };
    for (const Case& c : cases) {
        writeTextFile(conf, c.text);
        if (c.port == 0) {
            EXPECT_THROW(serverAddress(conf), std::runtime_error) << c.text;
            continue;
        }
        const ServerAddress address = serverAddress(conf);
        EXPECT_EQ(address.host, c.host) << c.text;
        EXPECT_EQ(address.port, c.port) << c.text;
    }
    // A missing file and a folder in its place give the defaults.
    EXPECT_TRUE(loadServConf(dir.file("missing.conf")).empty());
    fs::create_directories(dir.file("folder.conf"));
    EXPECT_TRUE(loadServConf(dir.file("folder.conf")).empty());
    EXPECT_EQ(serverAddress(dir.file("folder.conf")).port, 4092);
}

TEST(ServConfTest, AppVersionFirstLineWins) {
    TempDir dir;
    EXPECT_EQ(readAppVersion(dir.path()), "");
    fs::create_directories(dir.file("work"));
    writeTextFile(dir.file("work/.runtime.properties"),
                  "# APP_VERSION = 0.0.1\nAPP_VERSIONS = 9\n  APP_VERSION\t=  1.0.22 \r\nAPP_VERSION = 2.0\n");
    EXPECT_EQ(readAppVersion(dir.path()), "1.0.22");
    writeTextFile(dir.file("work/.runtime.properties"), "APP_ID = x\n");
    EXPECT_EQ(readAppVersion(dir.path()), "");
}

}  // namespace
