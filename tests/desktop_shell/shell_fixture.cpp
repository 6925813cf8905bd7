#include "desktop_shell/shell_fixture.h"

#include <gdk/gdkx.h>

#include <chrono>
#include <filesystem>

#include "desktop_shell/xvfb_display.h"
#include "support/test_paths.h"

namespace fs = std::filesystem;

namespace {

// One stand-in window manager per process, announced before GTK looks.
WmRequestRecorder& recorder() {
    static WmRequestRecorder instance;
    return instance;
}

const char kPageOne[] = "<!doctype html><html><head><title>One</title></head>"
                        "<body style='background:#2a6;color:#fff;font:32px sans-serif'><h1>Page one</h1></body></html>";
const char kPageTwo[] = "<!doctype html><html><head><title>Two</title></head>"
                        "<body style='background:#26a;color:#fff;font:32px sans-serif'><h1>Page two</h1></body></html>";

}  // namespace

void ShellTest::SetUp() {
    std::string why;
    // The set-up script installs Xvfb and GTK: a missing piece is a failure.
    if (ensureXvfb(&why).empty()) GTEST_FAIL() << "desktop tests need Xvfb: " << why;
    recorder();
    if (!ensureGtk(&why)) GTEST_FAIL() << "desktop tests need GTK on Xvfb: " << why;
    probe_ = std::make_unique<X11Probe>();

    home_ = std::make_unique<TempDir>();
    port_ = freeLoopbackPort();
    writeServerConf(home_->path(), testServerConf(port_));
    fs::copy(fs::path(builtProgramsDir()) / "webapp", home_->file("webapp"), fs::copy_options::recursive);
    fs::create_directories(home_->file("webapp/test"));
    writeTextFile(home_->file("webapp/test/shell-one.html"), kPageOne);
    writeTextFile(home_->file("webapp/test/shell-two.html"), kPageTwo);
    server_ = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server_->start({}, home_->path()));
    ASSERT_TRUE(server_->waitListening(port_)) << server_->stderrText();
    recorder().take();
}

void ShellTest::TearDown() {
    if (server_) {
        EXPECT_EQ(server_->stop(), 0);
    }
}

bool ShellTest::pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!gtk_main_iteration_do(FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void ShellTest::pumpFor(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pumpUntil([&] { return std::chrono::steady_clock::now() >= until; }, ms + 1000);
}

bool ShellTest::waitLoaded(WebViewWindow& window, const std::string& url) {
    return pumpUntil([&] {
        WebKitWebView* view = window.webView();
        if (!view || webkit_web_view_is_loading(view)) return false;
        const char* uri = webkit_web_view_get_uri(view);
        return uri && url == uri;
    });
}

std::string ShellTest::evaluate(WebViewWindow& window, const std::string& script) {
    struct Outcome {
        bool done = false;
        std::string text;
    } outcome;
    webkit_web_view_evaluate_javascript(
        window.webView(), script.c_str(), -1, nullptr, nullptr, nullptr,
        +[](GObject* view, GAsyncResult* result, gpointer data) {
            auto* out = static_cast<Outcome*>(data);
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, nullptr);
            if (value) {
                char* text = jsc_value_to_string(value);
                out->text = text ? text : "";
                g_free(text);
                g_object_unref(value);
            }
            out->done = true;
        },
        &outcome);
    pumpUntil([&] { return outcome.done; });
    return outcome.text;
}

WindowBox ShellTest::screenBox(WebViewWindow& window, int awaitWidth) {
    const Window xid = gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(window.gtkWindow())));
    pumpFor(100);
    gdk_display_sync(gdk_display_get_default());
    WindowBox box = probe_->box(xid);
    for (int waited = 0; awaitWidth > 0 && box.width != awaitWidth && waited < 20000; waited += 100) {
        pumpFor(100);
        gdk_display_sync(gdk_display_get_default());
        box = probe_->box(xid);
    }
    return box;
}

void ShellTest::screenshot(WebViewWindow& window, const std::string& name) {
    pumpFor(300);  // let the page paint
    gdk_display_sync(gdk_display_get_default());
    const Window xid = gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(window.gtkWindow())));
    const std::string path = screenshotDir() + "/" + name + ".png";
    EXPECT_TRUE(probe_->screenshot(xid, path)) << path;
}

std::vector<WmRequest> ShellTest::requestsOf(WebViewWindow& window) {
    pumpFor(100);
    gdk_display_sync(gdk_display_get_default());
    const Window xid = window.exists() ? gdk_x11_window_get_xid(gtk_widget_get_window(GTK_WIDGET(window.gtkWindow()))) : 0;
    std::vector<WmRequest> mine;
    for (const WmRequest& request : recorder().take())
        if (request.window == xid && request.type != "_NET_ACTIVE_WINDOW") mine.push_back(request);
    return mine;
}

bool ShellTest::logged(const std::string& part) {
    std::lock_guard<std::mutex> lock(record_->mutex);
    for (const std::string& line : record_->logs)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

std::vector<std::string> ShellTest::opened() {
    std::lock_guard<std::mutex> lock(record_->mutex);
    return record_->opened;
}

DesktopHost ShellTest::makeHost() {
    DesktopHost host;
    auto record = record_;
    host.log = [record](int, const std::string& text) {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->logs.push_back(text);
    };
    host.serverStartResult = [this] { return startResult_; };
    host.startupComplete = [this] { return startupDone_; };
    host.serverPort = [this] { return static_cast<int>(port_); };
    host.isRegistered = [this] { return registered_; };
    const DesktopRegistration answer = registration_;
    host.registerDevice = [record, answer] {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->registrationThread = std::this_thread::get_id();
        return answer;
    };
    host.startRelayClient = [record] {
        std::lock_guard<std::mutex> lock(record->mutex);
        ++record->relayStarts;
    };
    host.startupErrorText = [](int code) { return "failure " + std::to_string(code); };
    host.openWithDesktop = [record](const std::string& target) {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->opened.push_back(target);
    };
    host.makerSite = makerSite();
    host.iconPath = builtProgramsDir() + "/webapp/assets/icon.svg";
    return host;
}
