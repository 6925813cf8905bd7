#include "desktop_shell/x11_probe.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

std::string atomName(Display* display, Atom atom) {
    if (atom == None) return "";
    char* name = XGetAtomName(display, atom);
    std::string text = name ? name : "";
    if (name) XFree(name);
    return text;
}

// Windows of other processes can go between listing them and reading their
// attributes; Xlib's default handler would end the test process for that.
// Other errors go on to whichever handler was installed before (GDK's in the
// in-process shell tests).
XErrorHandler previousErrorHandler = nullptr;

int ignoreVanishedWindows(Display* display, XErrorEvent* error) {
    if (error->error_code == BadWindow || error->error_code == BadDrawable) return 0;
    return previousErrorHandler ? previousErrorHandler(display, error) : 0;
}

}  // namespace

X11Probe::X11Probe() : display_(XOpenDisplay(nullptr)) {
    static std::once_flag installed;
    std::call_once(installed, [] { previousErrorHandler = XSetErrorHandler(ignoreVanishedWindows); });
}

X11Probe::~X11Probe() {
    if (display_) XCloseDisplay(display_);
}

std::string X11Probe::title(Window window) const {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    const Atom netName = XInternAtom(display_, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
    std::string text;
    if (XGetWindowProperty(display_, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        text.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
        if (!text.empty()) return text;
    }
    char* name = nullptr;
    if (XFetchName(display_, window, &name) && name) {
        text = name;
        XFree(name);
    }
    return text;
}

std::vector<std::string> X11Probe::titles() const {
    std::vector<std::string> result;
    if (!display_) return result;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return result;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable)
            result.push_back(title(children[i]));
    }
    if (children) XFree(children);
    return result;
}

Window X11Probe::waitForWindow(const std::string& wanted, int timeoutMs) const {
    if (!display_) return None;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        Window found = None;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count && found == None; ++i) {
                XWindowAttributes attributes;
                if (XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable &&
                    title(children[i]) == wanted)
                    found = children[i];
            }
            if (children) XFree(children);
        }
        if (found != None) return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return None;
}

WindowBox X11Probe::box(Window window) const {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display_, window, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

bool X11Probe::undecorated(Window window) const {
    const Atom hints = XInternAtom(display_, "_MOTIF_WM_HINTS", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window, hints, 0, 5, False, AnyPropertyType, &type, &format, &count, &after,
                           &data) != Success ||
        !data)
        return false;
    const long* values = reinterpret_cast<long*>(data);
    const bool none = count >= 3 && (values[0] & 2) && values[2] == 0;
    XFree(data);
    return none;
}

void X11Probe::askToClose(Window window) const {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

bool X11Probe::screenshot(Window window, const std::string& path) const {
    const WindowBox area = box(window);
    if (area.width <= 0 || area.height <= 0) return false;
    XImage* image = XGetImage(display_, DefaultRootWindow(display_), area.x, area.y, area.width, area.height, AllPlanes,
                              ZPixmap);
    if (!image) return false;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, area.width, area.height);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < area.height; ++y) {
        for (int x = 0; x < area.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            guchar* out = pixels + y * stride + x * 3;
            out[0] = (pixel >> 16) & 0xff;
            out[1] = (pixel >> 8) & 0xff;
            out[2] = pixel & 0xff;
        }
    }
    XDestroyImage(image);
    const gboolean saved = gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
    return saved;
}

WmRequestRecorder::WmRequestRecorder() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    const Window root = DefaultRootWindow(display_);
    check_ = XCreateSimpleWindow(display_, root, -10, -10, 1, 1, 0, 0, 0);
    const Atom checkAtom = XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False);
    XChangeProperty(display_, check_, checkAtom, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&check_), 1);
    XChangeProperty(display_, root, checkAtom, XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&check_), 1);
    const char* names[] = {"_NET_WM_STATE", "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ",
                           "_NET_WM_MOVERESIZE", "_NET_ACTIVE_WINDOW"};
    Atom supported[5];
    for (int i = 0; i < 5; ++i) supported[i] = XInternAtom(display_, names[i], False);
    XChangeProperty(display_, root, XInternAtom(display_, "_NET_SUPPORTED", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(supported), 5);
    XSelectInput(display_, root, SubstructureNotifyMask);
    XSync(display_, False);
}

WmRequestRecorder::~WmRequestRecorder() {
    if (!display_) return;
    XDeleteProperty(display_, DefaultRootWindow(display_), XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False));
    XDestroyWindow(display_, check_);
    XCloseDisplay(display_);
}

std::vector<WmRequest> WmRequestRecorder::take() {
    std::vector<WmRequest> requests;
    if (!display_) return requests;
    XSync(display_, False);
    while (XPending(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type != ClientMessage) continue;
        WmRequest request;
        request.window = event.xclient.window;
        request.type = atomName(display_, event.xclient.message_type);
        for (int i = 0; i < 5; ++i) request.data[i] = event.xclient.data.l[i];
        if (request.type == "_NET_WM_STATE") request.atom1 = atomName(display_, static_cast<Atom>(request.data[1]));
        requests.push_back(request);
    }
    return requests;
}
