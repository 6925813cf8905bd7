#include "desktop_shell/tray_bus.h"

#include <chrono>
#include <thread>

namespace {
// The shell answers on its main loop, which may be busy laying out a page on
// a loaded machine: a call waits for the reply as long as the tests' other
// waits do.
constexpr int kReplyWaitMs = 20000;
}  // namespace

TrayBus::TrayBus(const std::string& address) {
    if (address.empty()) return;
    bus_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
}

TrayBus::~TrayBus() {
    if (bus_) g_object_unref(bus_);
}

std::string TrayBus::waitForIndicator(pid_t pid, int timeoutMs) {
    if (!bus_) return "";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        GVariant* names = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "ListNames", nullptr,
                                                      G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
                                                      nullptr);
        // The process can hold more than one connection to the bus (GTK's and
        // the toolkit's own): the indicator's is the one serving the menu.
        std::vector<std::string> owned;
        if (names) {
            GVariantIter* iter = nullptr;
            const char* name = nullptr;
            g_variant_get(names, "(as)", &iter);
            while (g_variant_iter_loop(iter, "&s", &name)) {
                if (name[0] != ':') continue;
                GVariant* reply = g_dbus_connection_call_sync(
                    bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
                    G_DBUS_CALL_FLAGS_NONE, kReplyWaitMs, nullptr, nullptr);
                if (!reply) continue;
                guint32 processId = 0;
                g_variant_get(reply, "(u)", &processId);
                g_variant_unref(reply);
                if (static_cast<pid_t>(processId) == pid) owned.push_back(name);
            }
            g_variant_iter_free(iter);
            g_variant_unref(names);
        }
        for (const std::string& owner : owned) {
            if (!menu(owner).empty()) return owner;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::vector<TrayMenuItem> TrayBus::menu(const std::string& owner) {
    std::vector<TrayMenuItem> items;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, owner.c_str(), kMenuPath, "com.canonical.dbusmenu", "GetLayout",
        g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), G_VARIANT_TYPE("(u(ia{sv}av))"),
        G_DBUS_CALL_FLAGS_NONE, kReplyWaitMs, nullptr, nullptr);
    if (!reply) return items;
    GVariant* layout = g_variant_get_child_value(reply, 1);
    GVariant* children = g_variant_get_child_value(layout, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* child = g_variant_get_variant(boxed);
        TrayMenuItem item;
        GVariant* properties = g_variant_get_child_value(child, 1);
        g_variant_get_child(child, 0, "i", &item.id);
        const char* text = nullptr;
        if (g_variant_lookup(properties, "label", "&s", &text)) item.label = text;
        if (g_variant_lookup(properties, "type", "&s", &text)) item.separator = std::string(text) == "separator";
        gboolean visible = TRUE;
        g_variant_lookup(properties, "visible", "b", &visible);
        if (visible) items.push_back(item);
        g_variant_unref(properties);
        g_variant_unref(child);
        g_variant_unref(boxed);
    }
    g_variant_unref(children);
    g_variant_unref(layout);
    g_variant_unref(reply);
    return items;
}

bool TrayBus::click(const std::string& owner, int id, std::string* error) {
    GError* failure = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus_, owner.c_str(), kMenuPath, "com.canonical.dbusmenu", "Event",
                                                  g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u),
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, kReplyWaitMs, nullptr, &failure);
    if (!reply) {
        if (error) *error = failure ? failure->message : "no reply";
        if (failure) g_error_free(failure);
        return false;
    }
    g_variant_unref(reply);
    return true;
}
