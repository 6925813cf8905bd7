// The library's entry points, looked up by the process entry after dlopen.
#include <gtk/gtk.h>

#include <atomic>

#include "desktop/desktop_host.h"
#include "desktop/shell/desktop_shell.h"

namespace {

// The running shell; only touched on the main-loop thread.
DesktopShell* runningShell = nullptr;
std::atomic<bool> quitRequested{false};

}  // namespace

extern "C" __attribute__((visibility("default"))) DesktopOutcome brisvane_desktop_run(const DesktopHost* host) {
    if (!host || host->version != kDesktopHostVersion) return {DesktopOutcome::Reason::NoDisplay, 0};
    if (!gtk_init_check(nullptr, nullptr)) return {DesktopOutcome::Reason::NoDisplay, 0};
    DesktopShell shell(*host);
    runningShell = &shell;
    shell.start();
    if (quitRequested.load()) shell.requestQuit();
    const DesktopOutcome outcome = shell.run();
    runningShell = nullptr;
    return outcome;
}

extern "C" __attribute__((visibility("default"))) void brisvane_desktop_request_quit() {
    quitRequested.store(true);
    g_idle_add(
        +[](gpointer) -> gboolean {
            if (runningShell) runningShell->requestQuit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
}
