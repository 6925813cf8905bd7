#include "desktop/shell/desktop_shell.h"

#include <thread>
#include <utility>

#include "desktop/rules/page_origin.h"

namespace {

// A registration result on its way from a worker thread to the main loop.
struct RegistrationDelivery {
    std::weak_ptr<DesktopShell*> shell;
    DesktopRegistration result;
    std::string fallbackUrl;
};

gboolean deliverRegistration(gpointer data) {
    std::unique_ptr<RegistrationDelivery> delivery(static_cast<RegistrationDelivery*>(data));
    if (auto shell = delivery->shell.lock()) (*shell)->handleRegistrationResult(delivery->result, delivery->fallbackUrl);
    return G_SOURCE_REMOVE;
}

}  // namespace

DesktopShell::DesktopShell(const DesktopHost& host)
    : host_(host),
      mainWindow_(host.iconPath, windowCallbacks()),
      productWindow_(host.iconPath, windowCallbacks()),
      self_(std::make_shared<DesktopShell*>(this)) {}

DesktopShell::~DesktopShell() {
    if (startupTimer_) g_source_remove(startupTimer_);
}

WebViewWindow::Callbacks DesktopShell::windowCallbacks() {
    WebViewWindow::Callbacks callbacks;
    callbacks.log = [this](int level, const std::string& text) { log(level, text); };
    callbacks.localPort = [this] { return host_.serverPort ? host_.serverPort() : 0; };
    callbacks.openWithDesktop = [this](const std::string& target) { host_.openWithDesktop(target); };
    callbacks.registrationComplete = [this] { startRegistration(); };
    return callbacks;
}

void DesktopShell::log(int level, const std::string& text) const {
    if (host_.log) host_.log(level, text);
}

std::string DesktopShell::localUrl(const std::string& path) const { return makeLocalUrl(host_.serverPort(), path); }

void DesktopShell::start() {
    tray_ = std::make_unique<TrayIcon>(host_.iconPath, [this](int id) { command(id); });
    startupTimer_ = g_timeout_add(
        kStartupTickMs,
        +[](gpointer self) -> gboolean {
            return static_cast<DesktopShell*>(self)->startupTick() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        this);
    if (!host_.instanceSocketPath.empty()) {
        std::string error;
        if (!listener_.start(host_.instanceSocketPath, [this] { command(kCmdShowApp); }, &error))
            log(2, "[WinMain] second-start socket unavailable: " + error);
    }
}

DesktopOutcome DesktopShell::run() {
    if (!ended_) gtk_main();
    return outcome_;
}

void DesktopShell::end(DesktopOutcome outcome) {
    if (ended_) return;
    ended_ = true;
    outcome_ = outcome;
    if (tray_) tray_->remove();
    if (gtk_main_level() > 0) gtk_main_quit();
}

void DesktopShell::requestQuit() { end({DesktopOutcome::Reason::QuitRequested, 0}); }

bool DesktopShell::startupTick() {
    const bool goOn = watchStartup();
    // Whoever calls the last tick, the timer stops with it.
    if (!goOn && startupTimer_) {
        g_source_remove(startupTimer_);
        startupTimer_ = 0;
    }
    return goOn;
}

bool DesktopShell::watchStartup() {
    if (ended_) return false;
    const int result = host_.serverStartResult();
    if (result >= 0 && !host_.startupComplete()) {
        // Code 1 follows "help": the usage was printed, no dialog.
        if (result != 1) showStartupErrorDialog(host_.startupErrorText(result));
        end({DesktopOutcome::Reason::StartupFailed, result});
        return false;
    }
    if (!host_.startupComplete()) return true;
    if (!host_.isRegistered()) {
        log(4, "[mainWin] processingAppIDRegistration: registerBrisvane 시도");
        startRegistration();
    }
    return false;
}

void DesktopShell::startRegistration() {
    auto registerDevice = host_.registerDevice;
    auto logLine = host_.log;
    std::weak_ptr<DesktopShell*> shell = self_;
    std::string fallbackUrl = registrationPageUrl();
    std::thread([registerDevice, logLine, shell, fallbackUrl] {
        if (logLine) logLine(4, "[mainWin] processingAppIDRegistrationAsync: registerBrisvane 시도(백그라운드)");
        auto* delivery = new RegistrationDelivery{shell, registerDevice(), fallbackUrl};
        // The main loop owns the result from here on.
        g_idle_add(deliverRegistration, delivery);
    }).detach();
}

void DesktopShell::handleRegistrationResult(const DesktopRegistration& result, const std::string& fallbackUrl) {
    if (result.ok) {
        log(4, "[mainWin] 등록 성공 → RTC 클라이언트 (재)기동");
        host_.startRelayClient();
        log(4, "[mainWin] 등록 성공 → RUNTIME_STATUS_URL 오픈");
        mainWindow_.show(localUrl("/runtime_status.html"), false, kMainWindowSize);
        return;
    }
    // The maker's pages shown here may report a finished registration.
    if (result.code != "pending_approval") {
        log(2, "[mainWin] 등록 실패(" + result.code + "): " + result.message + " → fallbackUrl 오픈");
        mainWindow_.trustOriginOf(fallbackUrl);
        mainWindow_.show(fallbackUrl, false, kMainWindowSize);
    } else if (result.authUrl.empty()) {
        log(2, "[mainWin] pending_approval 이지만 auth.url 없음 → fallbackUrl 사용");
        mainWindow_.trustOriginOf(fallbackUrl);
        mainWindow_.show(fallbackUrl, true, kMainWindowSize);
    } else {
        log(4, "[mainWin] pending_approval → auth.url 오픈 (injectTitlebar)");
        mainWindow_.trustOriginOf(result.authUrl);
        mainWindow_.show(result.authUrl, true, kMainWindowSize);
    }
}

void DesktopShell::command(int id) {
    switch (id) {
        case kCmdShowApp:
        case kCmdOpenBrisvane:
            if (!host_.isRegistered()) {
                startRegistration();
                return;
            }
            if (id == kCmdShowApp) {
                mainWindow_.show(localUrl("/app/"), false, kMainWindowSize);
            } else {
                mainWindow_.show(localUrl("/runtime_status.html"), false, kMainWindowSize);
                mainWindow_.resizeCentred(kOpenedMainWindowSize);
            }
            return;
        case kCmdOpenChat: host_.openWithDesktop(host_.makerSite + "/chat"); return;
        case kCmdProductInfo: productWindow_.show(localUrl("/product_info.html"), false, kProductWindowSize); return;
        case kCmdExit: end({DesktopOutcome::Reason::Exit, 0}); return;
        case kCmdApiConsole: host_.openWithDesktop(host_.makerSite + "/mypage"); return;
        case kCmdApiPlayground: host_.openWithDesktop(host_.makerSite + "/mypage/playground"); return;
        case kCmdOpenTestPage: host_.openWithDesktop(localUrl("/test/")); return;
        default: return;
    }
}

void showStartupErrorDialog(const std::string& text) {
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), "Brisvane 시작 오류");
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
