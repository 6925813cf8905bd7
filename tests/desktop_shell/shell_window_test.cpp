// The desktop shell in this process on a private X server: the tray menu
// and its commands, the frameless windows and their DPI-scaled sizes, the
// page messages with the origin check, and the registration outcomes.
#include <gtest/gtest.h>

#include <filesystem>

#include "desktop_shell/shell_fixture.h"
#include "support/temp_dir.h"

namespace {

TEST_F(ShellTest, TrayMenuItemsInOrderEachOpenTheirWindowOrPage) {
    DesktopShell shell(makeHost());
    shell.start();
    ASSERT_NE(shell.tray(), nullptr);
    EXPECT_TRUE(shell.tray()->shown());
    EXPECT_EQ(shell.tray()->menuLabels(),
              (std::vector<std::string>{"Open Brisvane", "", "API Console", "API Playground", "", "Product Info", "",
                                        "Exit"}));

    // "Open Brisvane": the status page in the main window, 1080 x 680 at 96
    // DPI, centred on the 1600 x 1200 screen, without a frame.
    ASSERT_TRUE(shell.tray()->activate(kCmdOpenBrisvane));
    ASSERT_TRUE(shell.mainWindow().exists());
    EXPECT_FALSE(gtk_window_get_decorated(shell.mainWindow().gtkWindow()));
    ASSERT_TRUE(waitLoaded(shell.mainWindow(), pageUrl("/runtime_status.html")));
    const WindowBox status = screenBox(shell.mainWindow());
    EXPECT_EQ(status.width, 1080);
    EXPECT_EQ(status.height, 680);
    EXPECT_EQ(status.x, (1600 - 1080) / 2);
    EXPECT_EQ(status.y, (1200 - 680) / 2);
    screenshot(shell.mainWindow(), "tray-open-brisvane");

    ASSERT_TRUE(shell.tray()->activate(kCmdProductInfo));
    ASSERT_TRUE(waitLoaded(shell.productWindow(), pageUrl("/product_info.html")));
    EXPECT_FALSE(gtk_window_get_decorated(shell.productWindow().gtkWindow()));
    const WindowBox product = screenBox(shell.productWindow());
    EXPECT_EQ(product.width, 760);
    EXPECT_EQ(product.height, 820);
    screenshot(shell.productWindow(), "tray-product-info");

    // A second "Product Info" reuses the open window.
    GtkWindow* productWindow = shell.productWindow().gtkWindow();
    ASSERT_TRUE(shell.tray()->activate(kCmdProductInfo));
    EXPECT_EQ(shell.productWindow().gtkWindow(), productWindow);

    ASSERT_TRUE(shell.tray()->activate(kCmdApiConsole));
    ASSERT_TRUE(shell.tray()->activate(kCmdApiPlayground));
    EXPECT_EQ(opened(), (std::vector<std::string>{makerSite() + "/mypage", makerSite() + "/mypage/playground"}));

    // The main application in a fresh main window at 1200 x 800 (what a
    // second start asks for).
    gtk_widget_destroy(GTK_WIDGET(shell.mainWindow().gtkWindow()));
    EXPECT_FALSE(shell.mainWindow().exists());
    shell.command(kCmdShowApp);
    ASSERT_TRUE(waitLoaded(shell.mainWindow(), pageUrl("/app/")));
    const WindowBox app = screenBox(shell.mainWindow());
    EXPECT_EQ(app.width, 1200);
    EXPECT_EQ(app.height, 800);
    screenshot(shell.mainWindow(), "main-window-app");

    // "Exit" ends the shell (the process entry then runs the exit path) and
    // takes the icon away, with both windows still open.
    ASSERT_TRUE(shell.tray()->activate(kCmdExit));
    EXPECT_TRUE(shell.ended());
    EXPECT_EQ(shell.outcome().reason, DesktopOutcome::Reason::Exit);
    EXPECT_FALSE(shell.tray()->shown());
}

TEST_F(ShellTest, WindowSizesFollowTheScreenDpi) {
    GdkScreen* screen = gdk_screen_get_default();
    gdk_screen_set_resolution(screen, 144);
    DesktopShell shell(makeHost());
    shell.start();
    shell.command(kCmdOpenBrisvane);
    shell.command(kCmdProductInfo);
    const WindowBox main = screenBox(shell.mainWindow(), 1620);
    const WindowBox product = screenBox(shell.productWindow(), 1140);
    gdk_screen_set_resolution(screen, 96);
    EXPECT_EQ(main.width, 1620);
    EXPECT_EQ(main.height, 1020);
    EXPECT_EQ(product.width, 1140);
    EXPECT_EQ(product.height, 1230);
}

TEST_F(ShellTest, PageMessagesDriveTheWindow) {
    DesktopShell shell(makeHost());
    WebViewWindow& window = shell.mainWindow();
    window.show(pageUrl("/test/shell-one.html"), false, kMainWindowSize);
    ASSERT_TRUE(waitLoaded(window, pageUrl("/test/shell-one.html")));
    requestsOf(window);
    auto post = [&](const std::string& message) {
        evaluate(window, "window.chrome.webview.postMessage('" + message + "'); 'ok'");
        return requestsOf(window);
    };

    // What the window asks of the window manager for each message: state
    // changes, iconify (WM_CHANGE_STATE 3), and moves and resizes
    // (_NET_WM_MOVERESIZE with the direction: 8 move, 4 bottom-right, 7 left,
    // 0 top-left). Messages that do not match exactly ask nothing.
    struct Case {
        const char* message;
        const char* type;
        long value;
    };
    const Case cases[] = {
        {"maximize", "_NET_WM_STATE", 1},        {"minimize", "WM_CHANGE_STATE", 3},
        {"dragstart", "_NET_WM_MOVERESIZE", 8},  {"resize:bottomright", "_NET_WM_MOVERESIZE", 4},
        {"resize:left", "_NET_WM_MOVERESIZE", 7}, {"resize:topleft", "_NET_WM_MOVERESIZE", 0},
        {"resize:middle", nullptr, 0},           {"Resize:left", nullptr, 0},
        {"MAXIMIZE", nullptr, 0},                {"maximize ", nullptr, 0},
    };
    for (const Case& c : cases) {
        const std::vector<WmRequest> requests = post(c.message);
        if (!c.type) {
            EXPECT_TRUE(requests.empty()) << c.message;
            continue;
        }
        ASSERT_EQ(requests.size(), 1u) << c.message;
        EXPECT_EQ(requests[0].type, c.type) << c.message;
        const long value = requests[0].type == "_NET_WM_MOVERESIZE" ? requests[0].data[2] : requests[0].data[0];
        EXPECT_EQ(value, c.value) << c.message;
        if (requests[0].type == "_NET_WM_STATE") {
            EXPECT_EQ(requests[0].atom1, "_NET_WM_STATE_MAXIMIZED_VERT");
        }
    }
    screenshot(window, "page-messages");

    // Back and forward through the history.
    window.show(pageUrl("/test/shell-two.html"), false, kMainWindowSize);
    ASSERT_TRUE(waitLoaded(window, pageUrl("/test/shell-two.html")));
    post("navBack");
    EXPECT_TRUE(waitLoaded(window, pageUrl("/test/shell-one.html")));
    post("navForward");
    EXPECT_TRUE(waitLoaded(window, pageUrl("/test/shell-two.html")));

    // External links only over http(s); folders only when they exist; the
    // target goes to the desktop as it stands.
    TempDir folder;
    post("openExternal:https://example.org/docs?a=1");
    post("openExternal:file:///etc/passwd");
    post("openExternal:javascript:alert(1)");
    post("openExternal:https://bad host/");
    post("openFolder:" + folder.path());
    post("openFolder:" + folder.path() + "/missing");
    post("openFolder:relative/folder");
    pumpFor(200);
    EXPECT_EQ(opened(), (std::vector<std::string>{"https://example.org/docs?a=1", folder.path()}));

    // "close" destroys the window; the next show makes a fresh one.
    post("close");
    EXPECT_TRUE(pumpUntil([&] { return !window.exists(); }));
    window.show(pageUrl("/test/shell-one.html"), false, kMainWindowSize);
    EXPECT_TRUE(window.exists());
    EXPECT_TRUE(waitLoaded(window, pageUrl("/test/shell-one.html")));
}

TEST_F(ShellTest, PagesFromElsewhereAreIgnored) {
    DesktopShell shell(makeHost());
    WebViewWindow& window = shell.mainWindow();
    TempDir dir;
    writeTextFile(dir.file("page.html"), "<!doctype html><title>Elsewhere</title><body>elsewhere</body>");
    const std::string fileUrl = "file://" + dir.file("page.html");
    window.show(fileUrl, false, kMainWindowSize);
    ASSERT_TRUE(waitLoaded(window, fileUrl));
    requestsOf(window);
    for (const char* message : {"maximize", "minimize", "dragstart", "openExternal:https://example.org/", "close"})
        evaluate(window, std::string("window.chrome.webview.postMessage('") + message + "'); 'ok'");
    pumpFor(300);
    EXPECT_TRUE(window.exists()) << "close from a foreign page";
    EXPECT_TRUE(requestsOf(window).empty());
    EXPECT_TRUE(opened().empty());
    EXPECT_TRUE(logged("page message from a foreign page ignored"));

    // The maker's pages count only once the shell itself opened one of them;
    // another port of a local host is foreign too.
    const std::string makerPage = "https://maker.example/brisvane/register";
    window.handlePageMessage(makerPage, "openExternal:https://example.org/a");
    window.handlePageMessage("http://localhost:" + std::to_string(port_ + 1) + "/", "openExternal:https://example.org/b");
    window.handlePageMessage("http://127.0.0.1:" + std::to_string(port_) + "/app/", "openExternal:https://example.org/c");
    window.trustOriginOf("https://maker.example/brisvane/register?device=1");
    window.handlePageMessage("https://maker.example/done", "openExternal:https://example.org/d");
    EXPECT_EQ(opened(), (std::vector<std::string>{"https://example.org/c", "https://example.org/d"}));
}

TEST_F(ShellTest, StartupWatchRegistersOnceAndShowsTheOutcome) {
    struct Case {
        const char* name;
        DesktopRegistration answer;
        std::string expectedUrl;  // "" for the fallback page
        bool titlebar;
        int relayStarts;
    };
    const std::string authUrl = pageUrl("/test/shell-two.html");
    const Case cases[] = {
        {"registered", {true, "", "", ""}, pageUrl("/runtime_status.html"), false, 1},
        {"pending-with-url", {false, "pending_approval", "", authUrl}, authUrl, true, 0},
        {"pending-without-url", {false, "pending_approval", "", ""}, "", true, 0},
        {"failed", {false, "registration_failed", "no such device", ""}, "", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        record_ = std::make_shared<HostRecord>();
        registered_ = false;
        startupDone_ = false;
        registration_ = c.answer;
        DesktopShell shell(makeHost());
        shell.start();
        EXPECT_TRUE(shell.startupTick()) << "start-up still running: the watch goes on";
        startupDone_ = true;
        EXPECT_FALSE(shell.startupTick()) << "the watch stops once start-up completed";
        const std::string url = c.expectedUrl.empty() ? shell.registrationPageUrl() : c.expectedUrl;
        ASSERT_TRUE(pumpUntil([&] { return shell.mainWindow().exists(); }));
        ASSERT_TRUE(waitLoaded(shell.mainWindow(), url));
        EXPECT_EQ(shell.mainWindow().injectsTitlebar(), c.titlebar);
        EXPECT_NE(record_->registrationThread, std::this_thread::get_id()) << "registration runs on a worker";
        EXPECT_EQ(record_->relayStarts, c.relayStarts);
        // Exactly one bar where it is injected; none on a page without its
        // own (the web application's pages draw theirs).
        const char* bars = "document.querySelectorAll('#appTitlebar').length";
        if (c.titlebar) {
            EXPECT_TRUE(pumpUntil([&] { return evaluate(shell.mainWindow(), bars) == "1"; }));
        } else if (c.expectedUrl.empty()) {
            EXPECT_EQ(evaluate(shell.mainWindow(), bars), "0");
        }
        screenshot(shell.mainWindow(), std::string("registration-") + c.name);
    }
}

TEST_F(ShellTest, StartupFailureEndsTheShellAfterHelpWithoutDialog) {
    startupDone_ = false;
    startResult_ = 1;
    DesktopShell shell(makeHost());
    shell.start();
    EXPECT_FALSE(shell.startupTick());
    EXPECT_TRUE(shell.ended());
    EXPECT_EQ(shell.outcome().reason, DesktopOutcome::Reason::StartupFailed);
    EXPECT_EQ(shell.outcome().code, 1);
    EXPECT_FALSE(shell.tray()->shown());
}

}  // namespace
