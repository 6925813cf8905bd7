// The in-process fixture of the desktop shell tests: GTK on a private Xvfb,
// a stand-in window manager that records requests, a headless brisvanesrv
// serving the web application (with two test pages), and a host whose
// side effects are recorded.
#pragma once

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/desktop_host.h"
#include "desktop/shell/desktop_shell.h"
#include "desktop_shell/x11_probe.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

// What the shell asked of its host.
struct HostRecord {
    std::mutex mutex;
    std::vector<std::string> opened;  // openWithDesktop targets
    std::vector<std::string> logs;
    int relayStarts = 0;
    std::thread::id registrationThread;
};

class ShellTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the main loop until `done` or `timeoutMs` passes; returns `done()`.
    static bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 15000);
    // Runs the main loop for about `ms`.
    static void pumpFor(int ms);
    // Waits until the window's page at `url` has finished loading.
    static bool waitLoaded(WebViewWindow& window, const std::string& url);
    // Runs `script` in the page and returns its result as text ("" on error).
    static std::string evaluate(WebViewWindow& window, const std::string& script);
    // The window's outer box on the screen as the X server sees it. With
    // `awaitWidth`, first waits (up to 20 s) for the window to reach that
    // width: windows are shown at one size and resized after.
    WindowBox screenBox(WebViewWindow& window, int awaitWidth = 0);
    // Writes a screenshot of the window to build/desktop-screenshots/<name>.png.
    void screenshot(WebViewWindow& window, const std::string& name);
    // The window manager requests of `window` since the last call.
    std::vector<WmRequest> requestsOf(WebViewWindow& window);

    std::string pageUrl(const std::string& path) const {
        return "http://localhost:" + std::to_string(port_) + path;
    }
    std::string makerSite() const { return "http://127.0.0.1:" + std::to_string(port_) + "/test/maker"; }
    bool logged(const std::string& part);
    std::vector<std::string> opened();

    // A host on the test server; registration answers with `registration`.
    DesktopHost makeHost();

    std::shared_ptr<HostRecord> record_ = std::make_shared<HostRecord>();
    bool registered_ = true;
    bool startupDone_ = true;
    int startResult_ = -1;
    DesktopRegistration registration_;
    uint16_t port_ = 0;
    std::unique_ptr<TempDir> home_;
    std::unique_ptr<ServerProcess> server_;
    std::unique_ptr<X11Probe> probe_;
};
