#include "desktop/shell/web_view_window.h"

#include <utility>

#include "desktop/rules/page_origin.h"
#include "desktop/shell/bridge_scripts.h"

namespace {

GdkWindowEdge gdkEdge(WindowEdge edge) {
    switch (edge) {
        case WindowEdge::Left: return GDK_WINDOW_EDGE_WEST;
        case WindowEdge::Right: return GDK_WINDOW_EDGE_EAST;
        case WindowEdge::Top: return GDK_WINDOW_EDGE_NORTH;
        case WindowEdge::Bottom: return GDK_WINDOW_EDGE_SOUTH;
        case WindowEdge::TopLeft: return GDK_WINDOW_EDGE_NORTH_WEST;
        case WindowEdge::TopRight: return GDK_WINDOW_EDGE_NORTH_EAST;
        case WindowEdge::BottomLeft: return GDK_WINDOW_EDGE_SOUTH_WEST;
        case WindowEdge::BottomRight:
        case WindowEdge::None: break;
    }
    return GDK_WINDOW_EDGE_SOUTH_EAST;
}

WindowSize primaryScreenSize() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return {0, 0};
    GdkRectangle area{};
    gdk_monitor_get_geometry(monitor, &area);
    return {area.width, area.height};
}

}  // namespace

WebViewWindow::WebViewWindow(std::string iconPath, Callbacks callbacks)
    : iconPath_(std::move(iconPath)), callbacks_(std::move(callbacks)) {}

WebViewWindow::~WebViewWindow() {
    if (window_) gtk_widget_destroy(window_);
}

double WebViewWindow::screenDpi() {
    GdkScreen* screen = gdk_screen_get_default();
    const double dpi = screen ? gdk_screen_get_resolution(screen) : -1;
    return dpi > 0 ? dpi : 96.0;
}

void WebViewWindow::show(const std::string& url, bool injectTitlebar, WindowSize size) {
    if (!window_) create(injectTitlebar, size);
    else gtk_window_deiconify(GTK_WINDOW(window_));
    gtk_window_present(GTK_WINDOW(window_));
    webkit_web_view_load_uri(view_, url.c_str());
}

void WebViewWindow::create(bool injectTitlebar, WindowSize size) {
    injectTitlebar_ = injectTitlebar;
    const WindowSize scaled = scaleForDpi(size, screenDpi());
    const WindowPosition position = centredOn(primaryScreenSize(), scaled);

    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), "Brisvane");
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window_), scaled.width, scaled.height);
    gtk_window_move(GTK_WINDOW(window_), position.x, position.y);
    if (!iconPath_.empty()) gtk_window_set_icon_from_file(GTK_WINDOW(window_), iconPath_.c_str(), nullptr);
    g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    WebKitUserScript* bridge =
        webkit_user_script_new(pageBridgeScript(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(content, bridge);
    webkit_user_script_unref(bridge);
    g_signal_connect(content, (std::string("script-message-received::") + kPageMessageHandler).c_str(),
                     G_CALLBACK(onScriptMessage), this);
    webkit_user_content_manager_register_script_message_handler(content, kPageMessageHandler);

    view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(content));
    g_object_unref(content);
    WebKitSettings* settings = webkit_web_view_get_settings(view_);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    g_signal_connect(view_, "context-menu", G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                                           WebKitHitTestResult*, gpointer) -> gboolean { return TRUE; }),
                     nullptr);
    g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    gtk_widget_show_all(window_);
}

void WebViewWindow::resizeCentred(WindowSize size) {
    if (!window_) return;
    GtkWindow* window = GTK_WINDOW(window_);
    if (gtk_window_is_maximized(window)) gtk_window_unmaximize(window);
    const WindowSize scaled = scaleForDpi(size, screenDpi());
    const WindowPosition position = centredOn(primaryScreenSize(), scaled);
    gtk_window_resize(window, scaled.width, scaled.height);
    gtk_window_move(window, position.x, position.y);
}

void WebViewWindow::trustOriginOf(const std::string& url) {
    const std::string origin = urlOrigin(url);
    if (!origin.empty()) trustedOrigins_.insert(origin);
}

bool WebViewWindow::pageMayPost(const std::string& pageUrl) const {
    if (callbacks_.localPort && isLocalAppOrigin(pageUrl, callbacks_.localPort())) return true;
    const std::string origin = urlOrigin(pageUrl);
    return !origin.empty() && trustedOrigins_.count(origin) != 0;
}

void WebViewWindow::closeSoon() {
    if (!window_) return;
    // Like a posted close: the page's message handler finishes first.
    struct Pending {
        WebViewWindow* self;
        GtkWidget* window;
    };
    g_idle_add(
        +[](gpointer data) -> gboolean {
            auto* pending = static_cast<Pending*>(data);
            if (pending->self->window_ == pending->window) gtk_widget_destroy(pending->window);
            delete pending;
            return G_SOURCE_REMOVE;
        },
        new Pending{this, window_});
}

void WebViewWindow::startMoveOrResize(const PageMessage& message) {
    GdkDisplay* display = gtk_widget_get_display(window_);
    GdkSeat* seat = gdk_display_get_default_seat(display);
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer) return;
    int x = 0, y = 0;
    gdk_device_get_position(pointer, nullptr, &x, &y);
    const guint32 time = gtk_get_current_event_time();
    if (message.command == PageCommand::DragStart)
        gtk_window_begin_move_drag(GTK_WINDOW(window_), 1, x, y, time);
    else
        gtk_window_begin_resize_drag(GTK_WINDOW(window_), gdkEdge(message.edge), 1, x, y, time);
}

void WebViewWindow::handlePageMessage(const std::string& pageUrl, const std::string& text) {
    if (!window_) return;
    const PageMessage message = parsePageMessage(text);
    if (message.command == PageCommand::Ignored) return;
    if (!pageMayPost(pageUrl)) {
        if (callbacks_.log)
            callbacks_.log(2, "[mainWin] page message from a foreign page ignored: " + urlOrigin(pageUrl) + " (" +
                                  text.substr(0, 64) + ")");
        return;
    }
    GtkWindow* window = GTK_WINDOW(window_);
    switch (message.command) {
        case PageCommand::DragStart:
        case PageCommand::Resize: startMoveOrResize(message); break;
        case PageCommand::Maximize:
            if (gtk_window_is_maximized(window)) gtk_window_unmaximize(window);
            else gtk_window_maximize(window);
            break;
        case PageCommand::Minimize: gtk_window_iconify(window); break;
        case PageCommand::Close: closeSoon(); break;
        case PageCommand::NavBack:
            if (webkit_web_view_can_go_back(view_)) webkit_web_view_go_back(view_);
            break;
        case PageCommand::NavForward:
            if (webkit_web_view_can_go_forward(view_)) webkit_web_view_go_forward(view_);
            break;
        case PageCommand::RegistrationComplete:
            closeSoon();
            if (callbacks_.registrationComplete) callbacks_.registrationComplete();
            break;
        case PageCommand::OpenExternal:
            if (isWebUrl(message.target)) callbacks_.openWithDesktop(message.target);
            else if (callbacks_.log) callbacks_.log(2, "[mainWin] openExternal refused (not an http or https URL)");
            break;
        case PageCommand::OpenFolder:
            if (isExistingFolder(message.target)) callbacks_.openWithDesktop(message.target);
            else if (callbacks_.log) callbacks_.log(2, "[mainWin] openFolder refused (not an existing folder)");
            break;
        case PageCommand::Ignored: break;
    }
}

void WebViewWindow::onDestroy(GtkWidget* widget, gpointer self) {
    auto* window = static_cast<WebViewWindow*>(self);
    if (window->window_ != widget) return;
    window->window_ = nullptr;
    window->view_ = nullptr;
}

void WebViewWindow::onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
    auto* window = static_cast<WebViewWindow*>(self);
    if (!window->view_) return;
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!jsc_value_is_string(value)) return;
    char* text = jsc_value_to_string(value);
    const std::string message = text ? text : "";
    g_free(text);
    const char* uri = webkit_web_view_get_uri(window->view_);
    window->handlePageMessage(uri ? uri : "", message);
}

void WebViewWindow::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
    auto* window = static_cast<WebViewWindow*>(self);
    if (event != WEBKIT_LOAD_FINISHED || !window->injectTitlebar_) return;
    webkit_web_view_evaluate_javascript(view, titleBarScript(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}
