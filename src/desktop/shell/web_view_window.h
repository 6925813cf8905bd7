// A frameless top-level window that hosts one web view and obeys the page
// messages of the pages it shows. The page draws the window's chrome; for
// pages without one the window can inject a small title bar.
//
// Threads: everything runs on the GTK main-loop thread.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <set>
#include <string>

#include "desktop/rules/page_message.h"
#include "desktop/rules/window_size.h"

class WebViewWindow {
public:
    struct Callbacks {
        std::function<void(int level, const std::string& text)> log;
        // The port whose local pages (http://localhost or 127.0.0.1) may post.
        std::function<int()> localPort;
        // An http(s) URL or an existing folder for the desktop to open.
        std::function<void(const std::string& target)> openWithDesktop;
        // After "registration_complete" (the window is being closed).
        std::function<void()> registrationComplete;
    };

    WebViewWindow(std::string iconPath, Callbacks callbacks);
    // Destroys the window when it exists.
    ~WebViewWindow();
    WebViewWindow(const WebViewWindow&) = delete;
    WebViewWindow& operator=(const WebViewWindow&) = delete;

    // Shows `url`. An existing window is de-iconified, raised and navigated
    // (keeping the title-bar choice it was created with); otherwise a new
    // window of `size` (96-DPI units, scaled by the screen's DPI) is created
    // centred on the primary monitor.
    void show(const std::string& url, bool injectTitlebar, WindowSize size);

    // Restores a maximised window, gives it `size` (scaled) and centres it.
    // Nothing when the window does not exist.
    void resizeCentred(WindowSize size);

    // Page messages from pages of `url`'s origin are obeyed as well as those
    // of the local web application (for the maker's pages this shell opens).
    void trustOriginOf(const std::string& url);

    // Acts on one page message posted by a page at `pageUrl`: ignored (and
    // logged) unless the page is local or of a trusted origin.
    void handlePageMessage(const std::string& pageUrl, const std::string& text);

    bool exists() const { return window_ != nullptr; }
    GtkWindow* gtkWindow() const { return window_ ? GTK_WINDOW(window_) : nullptr; }
    WebKitWebView* webView() const { return view_; }
    bool injectsTitlebar() const { return injectTitlebar_; }

    // The screen's DPI as the window sizes use it (96 when unknown).
    static double screenDpi();

private:
    void create(bool injectTitlebar, WindowSize size);
    void closeSoon();
    void startMoveOrResize(const PageMessage& message);
    bool pageMayPost(const std::string& pageUrl) const;

    static void onDestroy(GtkWidget* widget, gpointer self);
    static void onScriptMessage(WebKitUserContentManager* manager, WebKitJavascriptResult* result, gpointer self);
    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);

    std::string iconPath_;
    Callbacks callbacks_;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    bool injectTitlebar_ = false;
    std::set<std::string> trustedOrigins_;
};
