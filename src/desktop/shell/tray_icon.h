// The icon in the notification area and its menu (an application
// indicator; the indicator library falls back to a status icon where the
// desktop has no indicator host).
//
// Threads: everything runs on the GTK main-loop thread.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

struct _AppIndicator;

// The menu's commands, by the identifiers the shell acts on.
enum TrayCommand : int {
    kCmdShowApp = 1001,
    kCmdOpenChat = 1002,
    kCmdProductInfo = 1003,
    kCmdExit = 1004,
    kCmdOpenBrisvane = 1005,
    kCmdApiConsole = 1006,
    kCmdApiPlayground = 1007,
    kCmdOpenTestPage = 1008,
};

class TrayIcon {
public:
    // Creates the indicator (shown at once) and its menu; choosing an item
    // calls `onCommand` with the item's command.
    TrayIcon(const std::string& iconPath, std::function<void(int command)> onCommand);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Hides the icon for good (on the way out).
    void remove();

    // The menu's items in order: their labels, "" for a separator.
    std::vector<std::string> menuLabels() const;
    // The command of each item in order, 0 for a separator.
    std::vector<int> menuCommands() const;
    // Activates the menu item with `command` as a click would; false when
    // there is none.
    bool activate(int command);

    _AppIndicator* indicator() const { return indicator_; }
    bool shown() const;

private:
    static void onItemActivated(GtkMenuItem* item, gpointer self);

    std::function<void(int)> onCommand_;
    _AppIndicator* indicator_ = nullptr;
    GtkWidget* menu_ = nullptr;
};
