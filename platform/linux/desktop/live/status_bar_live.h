// The status items and their menus on a live session's tray: each status
// item is a StatusNotifierItem with a dbusmenu menu on the session bus,
// registered with the tray's watcher whenever one is there. Menus the host
// pops up are windows of our own on the X display.
//
// Everything the host sets is kept by the headless base first, so that the
// status bar goes on as its headless self once the bus is gone.
#pragma once

#include "platform/desktop/headless/headless_state.h"
#include "platform/linux/desktop/live/bus_connection.h"
#include "platform/linux/desktop/live/dbus_menu.h"
#include "platform/linux/desktop/live/status_notifier_item.h"
#include "platform/linux/desktop/live/x_connection.h"
#include "platform/desktop/headless/status_bar_headless.h"

#include <map>
#include <memory>

namespace platform {

class LiveStatusBar : public HeadlessStatusBar {
public:
    LiveStatusBar(HeadlessState& state, XConnection& x, BusConnection& bus);
    ~LiveStatusBar() override;

    StatusItemId makeStatusItem(double length) override;
    void setStatusItemButton(StatusItemId item, const StatusItemButton& button) override;
    void setStatusItemMenu(StatusItemId item, const Menu& menu) override;
    bool popUpMenu(const Menu& menu, Point location) override;

private:
    struct TrayItem {
        std::unique_ptr<DBusMenu> menu;
        std::unique_ptr<StatusNotifierItem> item;
        // What the watcher is told: the item's bus name, or its object path
        // when the name's usual path belongs to another item.
        std::string service;
        sd_bus_slot* registration = nullptr;
    };

    bool onTheBus() const { return !bus_.gone(); }
    void watchForTheWatcher();
    void registerWithTheWatcher(StatusItemId item);
    void registerEverywhere();
    void dropTheTray();
    // The tray asked for a status item's menu at a point of the screen.
    void popUpStatusItemMenu(StatusItemId item, int x, int y);
    std::string applicationName() const;
    std::string titleOf(const StatusItemButton& button) const;
    static int watcherChanged(sd_bus_message* m, void* self, sd_bus_error* error);
    static int registrationAnswered(sd_bus_message* m, void* self, sd_bus_error* error);

    HeadlessState& state_;
    XConnection& x_;
    BusConnection& bus_;
    std::map<StatusItemId, TrayItem> trays_;
    sd_bus_slot* watcherMatch_ = nullptr;
    bool saidNoTray_ = false;
    bool saidRefused_ = false;
};

} // namespace platform
