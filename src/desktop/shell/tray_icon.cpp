#include "desktop/shell/tray_icon.h"

#include <libayatana-appindicator/app-indicator.h>

#include <utility>

namespace {

constexpr const char kCommandKey[] = "brisvane-command";

struct MenuEntry {
    const char* label;  // null for a separator
    int command;
};

// "Open Brisvane", then the maker's pages, the product information and Exit.
constexpr MenuEntry kMenu[] = {
    {"Open Brisvane", kCmdOpenBrisvane}, {nullptr, 0},
    {"API Console", kCmdApiConsole},     {"API Playground", kCmdApiPlayground}, {nullptr, 0},
    {"Product Info", kCmdProductInfo},   {nullptr, 0},
    {"Exit", kCmdExit},
};

}  // namespace

TrayIcon::TrayIcon(const std::string& iconPath, std::function<void(int)> onCommand)
    : onCommand_(std::move(onCommand)) {
    menu_ = gtk_menu_new();
    g_object_ref_sink(menu_);
    GtkWidget* openItem = nullptr;
    for (const MenuEntry& entry : kMenu) {
        GtkWidget* item = entry.label ? gtk_menu_item_new_with_label(entry.label) : gtk_separator_menu_item_new();
        g_object_set_data(G_OBJECT(item), kCommandKey, GINT_TO_POINTER(entry.command));
        if (entry.label) g_signal_connect(item, "activate", G_CALLBACK(onItemActivated), this);
        if (entry.command == kCmdOpenBrisvane) openItem = item;
        gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
    }
    gtk_widget_show_all(menu_);

    const std::string icon = iconPath.empty() ? "applications-system" : iconPath;
    indicator_ = app_indicator_new("brisvanesrv", icon.c_str(), APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(indicator_, "Brisvane — 실행 중");
    app_indicator_set_menu(indicator_, GTK_MENU(menu_));
    // Hosts that pass a plain click on the icon on (middle click elsewhere)
    // open the application, as the first item does.
    app_indicator_set_secondary_activate_target(indicator_, openItem);
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
}

TrayIcon::~TrayIcon() {
    remove();
    g_object_unref(indicator_);
    gtk_widget_destroy(menu_);
    g_object_unref(menu_);
}

void TrayIcon::remove() { app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE); }

bool TrayIcon::shown() const { return app_indicator_get_status(indicator_) == APP_INDICATOR_STATUS_ACTIVE; }

std::vector<std::string> TrayIcon::menuLabels() const {
    std::vector<std::string> labels;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu_));
    for (GList* it = children; it; it = it->next) {
        const char* label = GTK_IS_SEPARATOR_MENU_ITEM(it->data) ? nullptr : gtk_menu_item_get_label(GTK_MENU_ITEM(it->data));
        labels.push_back(label ? label : "");
    }
    g_list_free(children);
    return labels;
}

std::vector<int> TrayIcon::menuCommands() const {
    std::vector<int> commands;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu_));
    for (GList* it = children; it; it = it->next)
        commands.push_back(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(it->data), kCommandKey)));
    g_list_free(children);
    return commands;
}

bool TrayIcon::activate(int command) {
    bool found = false;
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu_));
    for (GList* it = children; it && !found; it = it->next) {
        if (command != 0 && GPOINTER_TO_INT(g_object_get_data(G_OBJECT(it->data), kCommandKey)) == command) {
            gtk_menu_item_activate(GTK_MENU_ITEM(it->data));
            found = true;
        }
    }
    g_list_free(children);
    return found;
}

void TrayIcon::onItemActivated(GtkMenuItem* item, gpointer self) {
    const int command = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), kCommandKey));
    static_cast<TrayIcon*>(self)->onCommand_(command);
}
