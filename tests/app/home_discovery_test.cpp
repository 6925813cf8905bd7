// Choosing the home directory and finding the configuration file in it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "app/home_discovery.h"
#include "config/server_config.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Runs each case in a scratch tree and puts the current directory and
// BRISVANE_HOME back afterwards.
class HomeDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = fs::current_path();
        const char* home = std::getenv("BRISVANE_HOME");
        savedHome_ = home ? home : "";
        hadHome_ = home != nullptr;
        ::unsetenv("BRISVANE_HOME");
        root_ = fs::canonical(dir_.path());
    }
    void TearDown() override {
        fs::current_path(saved_);
        if (hadHome_) ::setenv("BRISVANE_HOME", savedHome_.c_str(), 1);
        else ::unsetenv("BRISVANE_HOME");
    }
    void makeConf(const fs::path& home, const std::string& name = "serv.conf") {
        fs::create_directories(home / "conf");
        writeTextFile((home / "conf" / name).string(), "SERV_PORT=1\n");
    }

    TempDir dir_;
    fs::path root_;
    fs::path saved_;
    std::string savedHome_;
    bool hadHome_ = false;
};

TEST_F(HomeDiscoveryTest, RulesInOrder) {
    const fs::path cwd = root_ / "cwd";
    const fs::path exeDir = root_ / "install" / "bin";
    const fs::path exe = exeDir / "brisvanesrv";
    fs::create_directories(cwd);
    fs::create_directories(exeDir);

    struct Case {
        const char* name;
        bool confInCwd, confInExeDir, confInExeParent, confFlag;
        const char* source;
        fs::path home;
    } cases[] = {
        {"nothing anywhere", false, false, false, false, "cwd (no conf found)", cwd},
        {"--conf keeps cwd", false, true, false, true, "cwd (--conf)", cwd},
        {"conf in cwd", true, true, true, false, "cwd", cwd},
        {"conf beside the program", false, true, true, false, "exe dir", exeDir},
        {"conf in the program's parent", false, false, true, false, "exe parent dir", exeDir.parent_path()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(cwd / "conf");
        fs::remove_all(exeDir / "conf");
        fs::remove_all(exeDir.parent_path() / "conf");
        if (c.confInCwd) makeConf(cwd);
        if (c.confInExeDir) makeConf(exeDir);
        if (c.confInExeParent) makeConf(exeDir.parent_path());
        fs::current_path(cwd);
        std::string source;
        EXPECT_EQ(discoverHome(c.confFlag, exe.string(), &source), 0);
        EXPECT_EQ(source, c.source);
        EXPECT_EQ(fs::current_path(), c.home);
    }

    // Only serv.conf decides the home; runtime.conf is found only inside it.
    fs::remove_all(exeDir / "conf");
    fs::remove_all(exeDir.parent_path() / "conf");
    makeConf(exeDir, "runtime.conf");
    fs::current_path(cwd);
    std::string source;
    discoverHome(false, exe.string(), &source);
    EXPECT_EQ(source, "cwd (no conf found)");
}

TEST_F(HomeDiscoveryTest, BrisvaneHome) {
    const fs::path home = root_ / "home";
    fs::create_directories(home);
    writeTextFile((root_ / "file").string(), "x");
    fs::current_path(root_);

    ::setenv("BRISVANE_HOME", home.c_str(), 1);
    std::string source;
    EXPECT_EQ(discoverHome(true, "", &source), 0) << "wins over --conf, needs no conf file";
    EXPECT_EQ(source, "BRISVANE_HOME");
    EXPECT_EQ(fs::current_path(), home);

    for (const fs::path& bad : {root_ / "file", root_ / "missing"}) {
        ::setenv("BRISVANE_HOME", bad.c_str(), 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(discoverHome(false, "", &source), 1011);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[ERROR] BRISVANE_HOME is not a directory: " + bad.string() + "\n");
    }

    ::setenv("BRISVANE_HOME", "", 1);
    fs::current_path(root_);
    EXPECT_EQ(discoverHome(false, "", &source), 0) << "an empty value is not set";
    EXPECT_EQ(source, "cwd (no conf found)");
}

TEST_F(HomeDiscoveryTest, FindConfFileSearchList) {
    fs::current_path(root_);
    EXPECT_EQ(findConfFile(), (std::pair<std::string, std::string>{}));
    fs::create_directories(root_ / "conf");
    writeTextFile((root_ / "conf" / "runtime.conf").string(), "A=1\r\n");
    EXPECT_EQ(findConfFile(), (std::pair<std::string, std::string>{"A=1\n", "conf/runtime.conf"}));
    writeTextFile((root_ / "conf" / "serv.conf").string(), "");
    EXPECT_EQ(findConfFile(), (std::pair<std::string, std::string>{"", "conf/serv.conf"}))
        << "an empty file is found, with empty text";

    // A serv.conf that cannot be read is an error, not "no file": the search
    // ends there, with its text.
    fs::remove(root_ / "conf" / "serv.conf");
    fs::create_directories(root_ / "conf" / "serv.conf");
    std::string error;
    EXPECT_EQ(findConfFile(&error), (std::pair<std::string, std::string>{"", "conf/serv.conf"}));
    EXPECT_EQ(error, "Unable to read file: conf/serv.conf (Is a directory)");
}

}  // namespace
