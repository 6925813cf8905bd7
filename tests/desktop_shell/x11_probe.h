// Looking at the Xvfb screen from a test: windows of any process by title,
// their geometry and decoration hints, closing them as a window manager
// would, screenshots, and a stand-in window manager that records what
// windows ask of it.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

struct WindowBox {
    int x = 0, y = 0, width = 0, height = 0;
};

// A connection of its own to the display in DISPLAY.
class X11Probe {
public:
    X11Probe();
    ~X11Probe();
    X11Probe(const X11Probe&) = delete;
    X11Probe& operator=(const X11Probe&) = delete;

    bool connected() const { return display_ != nullptr; }

    // A viewable top-level window whose title (_NET_WM_NAME, else WM_NAME)
    // is `title`, waiting up to `timeoutMs`; None when there is none.
    Window waitForWindow(const std::string& title, int timeoutMs) const;
    // The titles of all viewable top-level windows.
    std::vector<std::string> titles() const;
    WindowBox box(Window window) const;
    // True when the window asks for no decorations (_MOTIF_WM_HINTS).
    bool undecorated(Window window) const;
    // Sends WM_DELETE_WINDOW, as a window manager's close button does.
    void askToClose(Window window) const;
    // Writes the window's area of the screen as a PNG file.
    bool screenshot(Window window, const std::string& path) const;

private:
    std::string title(Window window) const;
    Display* display_ = nullptr;
};

// What a window asked of the window manager.
struct WmRequest {
    Window window = 0;
    std::string type;  // "_NET_WM_STATE", "WM_CHANGE_STATE", "_NET_WM_MOVERESIZE", ...
    long data[5] = {0, 0, 0, 0, 0};
    std::string atom1;  // data[1] as an atom name (for _NET_WM_STATE)
};

// Announces a window manager on the screen (so GTK sends its requests as
// client messages instead of acting itself) and collects those requests.
// Create it before GTK looks for a window manager.
class WmRequestRecorder {
public:
    WmRequestRecorder();
    ~WmRequestRecorder();
    WmRequestRecorder(const WmRequestRecorder&) = delete;
    WmRequestRecorder& operator=(const WmRequestRecorder&) = delete;

    // The requests that arrived since the last call.
    std::vector<WmRequest> take();

private:
    Display* display_ = nullptr;
    Window check_ = 0;
};
