// What the desktop shell (the GTK user interface, built as its own shared
// library and loaded only in desktop mode) needs from the server process.
// The process entry fills one DesktopHost and hands it to the shell; tests
// fill one with stand-ins. Both sides are built by the same compiler from
// this one header, so plain C++ types cross the library boundary.
#pragma once

#include <functional>
#include <string>

// Raised whenever the members below change in a way an older shell library
// would misread.
inline constexpr int kDesktopHostVersion = 1;

// The outcome of one device registration, as the shell acts on it.
struct DesktopRegistration {
    bool ok = false;
    std::string code;     // "" on success, "pending_approval", or the failure code
    std::string message;  // the service's or the local error text
    std::string authUrl;  // "pending_approval" only; may be empty
};

// Every callback may be called only from the shell's main-loop thread unless
// its line says otherwise. None throws.
struct DesktopHost {
    int version = kDesktopHostVersion;

    // One log line at the logger's numeric level.
    std::function<void(int level, const std::string& text)> log;
    // The server thread's start result: -1 while it runs, else its code.
    std::function<int()> serverStartResult;
    // True once the server listens and start-up has run to its end.
    std::function<bool()> startupComplete;
    // The port of the local web application (SERV_PORT). Read only after
    // start-up has completed.
    std::function<int()> serverPort;
    // True when the device has a stored registration (BRISVANE_ID).
    std::function<bool()> isRegistered;
    // Registers the device with the maker's web service and blocks for the
    // whole exchange. Called from a worker thread of the shell.
    std::function<DesktopRegistration()> registerDevice;
    // (Re)starts the relay client after a successful registration.
    std::function<void()> startRelayClient;
    // The dialog text for a start-up failure code (not called for code 1).
    std::function<std::string(int code)> startupErrorText;
    // Hands `target` (an http(s) URL or an existing folder, already checked
    // by the shell) to the desktop's default application. Returns at once.
    std::function<void(const std::string& target)> openWithDesktop;

    // The local socket on which a second start asks this one to show its main
    // window; empty for none.
    std::string instanceSocketPath;
    // The maker's web site: scheme and host, without a trailing slash.
    std::string makerSite;
    // The program's icon (tray and windows); empty for the theme's default.
    std::string iconPath;
};

// Why the shell's main loop ended, and the process's exit code.
struct DesktopOutcome {
    enum class Reason { Exit, StartupFailed, QuitRequested, NoDisplay };
    Reason reason = Reason::Exit;
    int code = 0;  // the start result for StartupFailed, else 0
};

// The shell library's entry points (looked up by name with dlsym).
// brisvane_desktop_run: opens the display, creates the tray icon, the
// start-up watch and the second-instance listener, and runs the main loop on
// the calling thread until "Exit", a failed start-up (after its dialog) or a
// quit request. Returns NoDisplay at once when the display cannot be opened.
// brisvane_desktop_request_quit: makes the running loop end with
// QuitRequested; safe from any thread, also before the loop runs.
extern "C" {
using DesktopRunFn = DesktopOutcome (*)(const DesktopHost* host);
using DesktopRequestQuitFn = void (*)();
}
inline constexpr const char kDesktopRunSymbol[] = "brisvane_desktop_run";
inline constexpr const char kDesktopRequestQuitSymbol[] = "brisvane_desktop_request_quit";
inline constexpr const char kDesktopLibraryName[] = "libbrisvane_desktop_shell.so";
