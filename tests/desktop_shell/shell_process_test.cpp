// brisvanesrv itself in desktop mode on a private X server: start-up failure
// dialogs and their exit codes (and the same texts without a display), the
// second start that shows the running instance's main window, and
// "--headless" on a desktop.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "desktop_shell/tray_bus.h"
#include "desktop_shell/x11_probe.h"
#include "desktop_shell/xvfb_display.h"
#include "support/server_process.h"
#include "support/test_paths.h"
#include "support/tls_test_server.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kDialogTitle[] = "Brisvane 시작 오류";

class DesktopProcess : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        display_ = ensureXvfb(&why);
        // The set-up script installs Xvfb: without it the test fails.
        if (display_.empty()) GTEST_FAIL() << "desktop tests need Xvfb: " << why;
        probe_ = std::make_unique<X11Probe>();
        ASSERT_TRUE(probe_->connected());
    }
    // A server home on `port` for a registered device (no registration
    // attempt at start), with the web application linked in.
    static void prepareRegisteredHome(const TempDir& home, uint16_t port) {
        writeServerConf(home.path(), testServerConf(port));
        fs::create_directories(home.file("work"));
        writeTextFile(home.file("work/.runtime.properties"),
                      "APP_ID = test-app\nBRISVANE_ID = dev-1\nBRISVANE_TOKEN = tok-1\nBRISVANE_EXPORT = false\n");
        fs::create_directory_symlink(fs::path(builtProgramsDir()) / "webapp", home.file("webapp"));
    }
    std::map<std::string, std::string> desktopEnv() const {
        std::map<std::string, std::string> env = {
            {"DISPLAY", display_}, {"WEBKIT_DISABLE_COMPOSITING_MODE", "1"}, {"NO_AT_BRIDGE", "1"}};
        const std::string bus = ensureSessionBus();
        if (!bus.empty()) env["DBUS_SESSION_BUS_ADDRESS"] = bus;
        return env;
    }
    static bool waitForFile(const std::string& path, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (fs::exists(path)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string display_;
    std::unique_ptr<X11Probe> probe_;
};

TEST_F(DesktopProcess, StartupFailuresShowTheirDialogAndEndWithTheCode) {
    struct Case {
        const char* name;
        bool withConf;
        bool portTaken;
        int exitCode;
        std::string text;
    };
    const Case cases[] = {
        {"no-configuration", false, false, 243, "설정 파일을 찾을 수 없습니다.\n\nconf/serv.conf 파일을 확인해주세요."},
        {"port-in-use", true, true, 22, "서버 포트를 열 수 없습니다.\n\n포트가 이미 사용 중이거나 네트워크 오류입니다."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir home, occupantHome;
        const uint16_t port = freeLoopbackPort();
        ServerProcess occupant;
        if (c.portTaken) {
            writeServerConf(occupantHome.path(), testServerConf(port));
            ASSERT_TRUE(occupant.start({}, occupantHome.path()));
            ASSERT_TRUE(occupant.waitListening(port));
        }
        if (c.withConf) writeServerConf(home.path(), testServerConf(port));
        else fs::create_directories(home.file("empty"));
        const std::string cwd = c.withConf ? home.path() : home.file("empty");

        ServerProcess server;
        ASSERT_TRUE(server.start({}, cwd, desktopEnv()));
        const Window dialog = probe_->waitForWindow(kDialogTitle, 30000);
        ASSERT_NE(dialog, 0u) << server.stderrText();
        EXPECT_TRUE(probe_->screenshot(dialog, screenshotDir() + "/startup-failure-" + c.name + ".png"));
        EXPECT_EQ(server.waitExit(300), -1) << "the dialog waits for the user";
        probe_->askToClose(dialog);
        EXPECT_EQ(server.waitExit(20000), c.exitCode);
        EXPECT_NE(server.stderrText().find(c.text), std::string::npos) << server.stderrText();

        // Without a display the same text goes to standard error.
        const ServerRun headless = runServerToExit({"--headless"}, cwd, desktopEnv());
        EXPECT_EQ(headless.exitCode, c.exitCode);
        EXPECT_NE(headless.err.find(c.text), std::string::npos) << headless.err;
    }
}

TEST_F(DesktopProcess, HelpEndsWithoutDialog) {
    TempDir home;
    const ServerRun run = runServerToExit({"help"}, home.path(), desktopEnv());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("--verbose"), std::string::npos) << run.out;
}

TEST_F(DesktopProcess, SecondStartShowsTheRunningMainWindow) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    prepareRegisteredHome(home, port);

    ServerProcess running;
    ASSERT_TRUE(running.start({}, home.path(), desktopEnv()));
    ASSERT_TRUE(running.waitListening(port)) << running.stderrText();
    std::string socketPath = running.lockFile();
    socketPath.replace(socketPath.size() - 5, 5, ".sock");
    ASSERT_TRUE(waitForFile(socketPath, 20000)) << running.stderrText();
    struct stat info {};
    ASSERT_EQ(::stat(socketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u) << "only this user may ask";
    EXPECT_EQ(probe_->waitForWindow("Brisvane", 200), 0u) << "no window before it is asked for";

    TempDir elsewhere;
    const ServerRun second = runServerToExit({}, elsewhere.path(), [&] {
        auto env = desktopEnv();
        env["BRISVANE_LOCK_FILE"] = running.lockFile();
        return env;
    }());
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_NE(second.err.find("asked to show"), std::string::npos) << second.err;

    const Window window = probe_->waitForWindow("Brisvane", 20000);
    ASSERT_NE(window, 0u);
    const WindowBox box = probe_->box(window);
    EXPECT_EQ(box.width, 1200);
    EXPECT_EQ(box.height, 800);
    EXPECT_EQ(box.x, 200);
    EXPECT_EQ(box.y, 200);
    EXPECT_TRUE(probe_->undecorated(window));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // let the page paint
    EXPECT_TRUE(probe_->screenshot(window, screenshotDir() + "/second-start-main-window.png"));

    EXPECT_TRUE(running.running()) << "the first instance keeps running";
    EXPECT_EQ(running.stop(), 0) << running.stderrText();
    EXPECT_FALSE(fs::exists(socketPath)) << "the socket goes with its instance";
}

TEST_F(DesktopProcess, HeadlessSwitchKeepsTheDesktopAway) {
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    writeServerConf(home.path(), testServerConf(port));
    ServerProcess running;
    ASSERT_TRUE(running.start({"--headless"}, home.path(), desktopEnv()));
    ASSERT_TRUE(running.waitListening(port)) << running.stderrText();
    auto env = desktopEnv();
    env["BRISVANE_LOCK_FILE"] = running.lockFile();
    TempDir elsewhere;
    const ServerRun second = runServerToExit({}, elsewhere.path(), env);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_NE(second.err.find("already running"), std::string::npos);
    EXPECT_EQ(second.err.find("asked to show"), std::string::npos) << "a headless instance has no window";
    EXPECT_TRUE(probe_->titles().empty());
    EXPECT_EQ(running.stop(), 0);
}

}  // namespace

namespace {

// The tray icon as the notification host sees it on the session bus: the
// menu's items in order, and "Exit" clicked there ends the process through
// its exit path with a window open.
TEST_F(DesktopProcess, TrayMenuOnTheBusAndExit) {
    const std::string bus = ensureSessionBus();
    ASSERT_FALSE(bus.empty()) << "no dbus-daemon for a private session bus (the set-up script installs dbus)";
    TempDir home;
    const uint16_t port = freeLoopbackPort();
    prepareRegisteredHome(home, port);

    ServerProcess running;
    ASSERT_TRUE(running.start({"--verbose"}, home.path(), desktopEnv()));
    ASSERT_TRUE(running.waitListening(port)) << running.stderrText();

    TrayBus tray(bus);
    ASSERT_TRUE(tray.connected());
    const std::string owner = tray.waitForIndicator(running.pid(), 60000);
    ASSERT_FALSE(owner.empty()) << running.stderrText();
    std::vector<std::string> labels;
    int openId = 0, exitId = 0;
    for (const TrayMenuItem& item : tray.menu(owner)) {
        labels.push_back(item.separator ? "-" : item.label);
        if (item.label == "Open Brisvane") openId = item.id;
        if (item.label == "Exit") exitId = item.id;
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"Open Brisvane", "-", "API Console", "API Playground", "-",
                                                "Product Info", "-", "Exit"}));

    ASSERT_TRUE(tray.click(owner, openId));
    const Window window = probe_->waitForWindow("Brisvane", 20000);
    ASSERT_NE(window, 0u);
    // Shown at 1200 x 800, then resized: wait for the second size.
    WindowBox box;
    for (int waited = 0; waited < 20000; waited += 50) {
        box = probe_->box(window);
        if (box.width == 1080) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(box.width, 1080);
    EXPECT_EQ(box.height, 680);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // let the page paint
    EXPECT_TRUE(probe_->screenshot(window, screenshotDir() + "/tray-open-brisvane-process.png"));

    // The shell may end before the bus delivers its reply to the click, so
    // the exit itself is what shows the click worked.
    std::string refusal;
    tray.click(owner, exitId, &refusal);
    EXPECT_EQ(running.waitExit(20000), 0) << refusal << "\n" << running.stderrText();
    const std::string log = readTextFile(home.file("logs/brisvane.log"));
    EXPECT_NE(log.find("[main] Exit — shutting down"), std::string::npos) << log;
}

}  // namespace

namespace {

// An unregistered desktop registers once start-up has completed, against a
// stand-in of the maker's web service, and the outcome picks the main
// window's page.
TEST_F(DesktopProcess, RegistrationFromTheDesktopShowsItsOutcome) {
    TestCertificateAuthority ca;
    ScriptedTlsServer service(ca.issueServerCertificate({"localhost"}, {"127.0.0.1"}));
    struct Case {
        const char* name;
        std::string answer;
        const char* logLine;
    };
    const Case cases[] = {
        {"approved",
         ScriptedTlsServer::httpAnswer(R"({"retcode":0,"data":{"brisvaneId":"dev-9","brisvaneName":"Desk",)"
                                       R"("apiBase":"https://api.example","brisvane_api_key":"key-1","brisvaneToken":"tok-1"}})"),
         "[mainWin] 등록 성공 → RUNTIME_STATUS_URL 오픈"},
        {"pending-approval",
         ScriptedTlsServer::httpAnswer(
             R"({"retcode":5,"retdesc":"approve me","data":{"auth":{"type":"web","url":"http://127.0.0.1:1/approve"}}})"),
         "[mainWin] pending_approval → auth.url 오픈 (injectTitlebar)"},
        {"refused", ScriptedTlsServer::httpAnswer(R"({"retcode":7,"retdesc":"no such device"})"),
         "[mainWin] 등록 실패(registration_failed): no such device → fallbackUrl 오픈"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        service.setAnswer(c.answer);
        const size_t before = service.requests().size();
        TempDir home;
        const uint16_t port = freeLoopbackPort();
        writeServerConf(home.path(), testServerConf(port));
        ca.writeCertificate(home.file("ca.pem"));
        fs::create_directory_symlink(fs::path(builtProgramsDir()) / "webapp", home.file("webapp"));
        auto env = desktopEnv();
        env["SSL_CERT_FILE"] = home.file("ca.pem");
        env["BRISVANE_WEB_API"] = "https://localhost:" + std::to_string(service.port());
        env["BRISVANE_WEB_SITE"] = "http://127.0.0.1:" + std::to_string(port) + "/test/maker";
        ServerProcess running;
        ASSERT_TRUE(running.start({"--verbose"}, home.path(), env));
        ASSERT_TRUE(running.waitListening(port)) << running.stderrText();
        const Window window = probe_->waitForWindow("Brisvane", 30000);
        ASSERT_NE(window, 0u) << running.stderrText();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // let the page paint
        EXPECT_TRUE(probe_->screenshot(window, screenshotDir() + "/registration-" + c.name + ".png"));
        EXPECT_EQ(running.stop(), 0);
        const std::string log = readTextFile(home.file("logs/brisvane.log"));
        EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
        EXPECT_EQ(service.requests().size(), before + 1) << "one registration at start";
    }
}

}  // namespace
