// The desktop shell: the tray icon and its commands, the main and the
// product-information windows, the start-up watch with its failure dialog,
// registration from the desktop, and the second-start listener.
//
// Threads: constructed, used and destroyed on the GTK main-loop thread (GTK
// initialised). Registration runs on worker threads that touch nothing of
// the shell: their results come back through the main loop.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "desktop/desktop_host.h"
#include "desktop/rules/window_size.h"
#include "desktop/shell/instance_listener.h"
#include "desktop/shell/tray_icon.h"
#include "desktop/shell/web_view_window.h"

inline constexpr WindowSize kMainWindowSize{1200, 800};
inline constexpr WindowSize kOpenedMainWindowSize{1080, 680};
inline constexpr WindowSize kProductWindowSize{760, 820};
inline constexpr int kStartupTickMs = 500;

class DesktopShell {
public:
    explicit DesktopShell(const DesktopHost& host);
    ~DesktopShell();
    DesktopShell(const DesktopShell&) = delete;
    DesktopShell& operator=(const DesktopShell&) = delete;

    // Creates the tray icon, the start-up timer and the second-start
    // listener (when the host names a socket).
    void start();

    // Runs the GTK main loop until the shell ends; returns why.
    DesktopOutcome run();

    // Ends the shell with QuitRequested (the tray icon is removed).
    void requestQuit();

    // A menu or internal command (TrayCommand).
    void command(int id);

    // Shows the page that a registration outcome calls for, in the main
    // window; `fallbackUrl` when it failed.
    void handleRegistrationResult(const DesktopRegistration& result, const std::string& fallbackUrl);

    // Runs the host's registration on a worker thread; the result comes back
    // to handleRegistrationResult through the main loop.
    void startRegistration();

    // One tick of the start-up watch (normally from the 500 ms timer).
    // Returns whether the watch goes on.
    bool startupTick();

    bool ended() const { return ended_; }
    const DesktopOutcome& outcome() const { return outcome_; }
    bool startupWatchRunning() const { return startupTimer_ != 0; }
    WebViewWindow& mainWindow() { return mainWindow_; }
    WebViewWindow& productWindow() { return productWindow_; }
    TrayIcon* tray() { return tray_.get(); }
    std::string localUrl(const std::string& path) const;
    std::string registrationPageUrl() const { return host_.makerSite + "/brisvane/register"; }

private:
    void end(DesktopOutcome outcome);
    bool watchStartup();
    WebViewWindow::Callbacks windowCallbacks();
    void log(int level, const std::string& text) const;

    DesktopHost host_;
    WebViewWindow mainWindow_;
    WebViewWindow productWindow_;
    std::unique_ptr<TrayIcon> tray_;
    InstanceListener listener_;
    guint startupTimer_ = 0;
    bool ended_ = false;
    DesktopOutcome outcome_;
    // Registration results posted after the shell is gone find it expired.
    std::shared_ptr<DesktopShell*> self_;
};

// Shows the modal start-up failure dialog and returns when it is closed.
void showStartupErrorDialog(const std::string& text);
