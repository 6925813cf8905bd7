// The tray indicator of another process seen through the session bus: its
// menu (the dbusmenu layout the notification host reads) and clicks on it.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct TrayMenuItem {
    int id = 0;
    std::string label;  // "" for a separator
    bool separator = false;
};

class TrayBus {
public:
    // Connects to the bus at `address`.
    explicit TrayBus(const std::string& address);
    ~TrayBus();
    TrayBus(const TrayBus&) = delete;
    TrayBus& operator=(const TrayBus&) = delete;

    bool connected() const { return bus_ != nullptr; }
    // The unique bus name of process `pid`, waiting up to `timeoutMs` for it
    // to export the indicator's menu; "" when it never does.
    std::string waitForIndicator(pid_t pid, int timeoutMs);
    // The top-level items of the indicator's menu, in order.
    std::vector<TrayMenuItem> menu(const std::string& owner);
    // Clicks the item `id`, as the notification host does. On failure
    // `error` (when given) holds the bus's message.
    bool click(const std::string& owner, int id, std::string* error = nullptr);

    static constexpr const char* kMenuPath = "/org/ayatana/NotificationItem/brisvanesrv/Menu";

private:
    GDBusConnection* bus_ = nullptr;
};
