// A status item's menu as the tray reads it: com.canonical.dbusmenu on the
// session bus. Each new menu gets a new revision and fresh ids, handed out
// in a pre-order walk, so that an id names one row of one revision; the
// tray asks for the layout and tells us of clicks and openings.
//
// Menus can hold thousands of rows and deep submenus: every walk here is a
// loop over the flattened rows with a stack of its own, never a recursion.
#pragma once

#include "platform/desktop/status_bar.h"
#include "platform/linux/desktop/live/bus_connection.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platform {

class DBusMenu {
public:
    struct Handlers {
        // An enabled row with an action was clicked: its index path.
        std::function<void(const std::vector<int>& path, const MenuItem& item)> picked;
        // The top menu is opening (once per opening).
        std::function<void()> opening;
    };

    // Most levels of submenus one layout reply carries below the row asked
    // for: a message's containers may nest 64 deep, and each level of the
    // layout costs three (array, variant, structure). The tray asks again
    // for deeper rows when it opens them.
    static constexpr int LAYOUT_LEVELS_PER_REPLY = 16;

    DBusMenu(BusConnection& bus, std::string objectPath, Handlers handlers);
    ~DBusMenu();
    DBusMenu(const DBusMenu&) = delete;
    DBusMenu& operator=(const DBusMenu&) = delete;

    const std::string& objectPath() const { return objectPath_; }
    uint32_t revision() const { return revision_; }

    // A new menu: fresh ids, a higher revision, and LayoutUpdated.
    void setMenu(const Menu& menu);

private:
    // One row of the menu, flattened: id 0 is the top menu itself; the rows
    // below a row are the ids after it up to `end`.
    struct Node {
        const MenuItem* item = nullptr;
        int parent = -1;
        int index = -1;
        int end = 1;
    };

    bool known(int id) const { return id >= 0 && size_t(id) < nodes_.size(); }
    std::vector<int> pathOf(int id) const;
    // Writes the a{sv} of one row, limited to `wanted` unless it is empty.
    int appendProperties(sd_bus_message* m, int id, const std::vector<std::string>& wanted);
    // Writes the (ia{sv}av) of `parent` with its rows `depth` levels down
    // (-1: all, within the per-reply limit).
    int appendLayout(sd_bus_message* m, int parent, int depth, const std::vector<std::string>& wanted);
    const std::vector<uint8_t>& iconOf(const SymbolImage& image);
    // The tray's events on a row: clicks and the top menu's opening and
    // closing. False for an id this revision does not have.
    bool handleEvent(int id, const std::string& event);
    void aboutToShow(int id);
    // An opening of the top menu, told once even when the tray says it both
    // by AboutToShow and by an "opened" event.
    enum OpeningSign : unsigned { ABOUT_TO_SHOW = 1, OPENED_EVENT = 2 };
    void topMenuSign(OpeningSign sign);

    // The interface's table, built once: sd-bus keeps a pointer to it.
    static const sd_bus_vtable* vtable();
    static int getLayout(sd_bus_message* m, void* self, sd_bus_error* error);
    static int getGroupProperties(sd_bus_message* m, void* self, sd_bus_error* error);
    static int getProperty(sd_bus_message* m, void* self, sd_bus_error* error);
    static int event(sd_bus_message* m, void* self, sd_bus_error* error);
    static int eventGroup(sd_bus_message* m, void* self, sd_bus_error* error);
    static int aboutToShowMethod(sd_bus_message* m, void* self, sd_bus_error* error);
    static int aboutToShowGroup(sd_bus_message* m, void* self, sd_bus_error* error);

    BusConnection& bus_;
    std::string objectPath_;
    Handlers handlers_;
    sd_bus_slot* slot_ = nullptr;
    uint32_t revision_ = 0;
    Menu menu_;
    std::vector<Node> nodes_{Node{}};
    unsigned openingSigns_ = 0;
    // PNG bytes of row images by symbol and badge; rows share few symbols.
    std::map<std::string, std::vector<uint8_t>> icons_;
};

// A key equivalent as the tray writes shortcuts: the modifiers ("Control",
// "Alt", "Shift", "Super") then the key's name; empty without a key.
std::vector<std::string> dbusMenuShortcut(const std::string& keyEquivalent, uint64_t modifierMask);

// A title as a tray label: "_" marks a mnemonic there, so it is doubled.
std::string dbusMenuLabel(const std::string& title);

} // namespace platform
