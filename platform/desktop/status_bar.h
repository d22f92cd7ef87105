// The status bar and menus: status items with their button and menu, system
// symbol images, the picks and openings of menus, and menus popped up by the
// host (NSStatusBar, NSStatusItem, NSMenu, NSImage's system symbols).
#pragma once

#include "platform/desktop/values.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A system-symbol image as the host composes it: the symbol, an optional
// configuration (point size and weight), an optional badge symbol drawn at
// its lower right with a transparent halo, and the template flag.
struct SymbolImage {
    std::string symbol;
    std::string accessibilityDescription;
    std::optional<double> pointSize;
    std::optional<double> weight;
    std::optional<std::string> badge;
    bool isTemplate = false;
    bool operator==(const SymbolImage&) const = default;
};

// A badge symbol is drawn at 8 points, bold (FONT_WEIGHT_BOLD).
inline constexpr double BADGE_POINT_SIZE = 8;

// Where a badged symbol's parts go, in an image whose origin is its lower
// left corner: the base at the origin, the badge in the lower right corner
// sticking out past the base by 0.45 of its width, and the oval cut out of
// the base around the badge, 1.5 points wider on every side.
struct BadgeGeometry {
    double width = 0, height = 0;   // the whole image
    Rect base;
    Rect badge;
    Rect halo;
    bool operator==(const BadgeGeometry&) const = default;
};
BadgeGeometry badgeGeometry(double baseWidth, double baseHeight, double badgeWidth, double badgeHeight);

// Modifier flags of a key equivalent (NSEventModifierFlags).
inline constexpr uint64_t MODIFIER_SHIFT = 1ull << 17;
inline constexpr uint64_t MODIFIER_CONTROL = 1ull << 18;
inline constexpr uint64_t MODIFIER_OPTION = 1ull << 19;
inline constexpr uint64_t MODIFIER_COMMAND = 1ull << 20;

// NSVariableStatusItemLength.
inline constexpr double VARIABLE_STATUS_ITEM_LENGTH = -1;

struct MenuItem;

struct Menu {
    std::string title;
    bool autoenablesItems = true;
    std::vector<MenuItem> items;
    bool operator==(const Menu&) const;
};

struct MenuItem {
    bool separator = false;
    std::string title;
    bool enabled = true;
    // An action is set: picking the item reaches the host's pick handler.
    bool hasAction = false;
    std::optional<std::string> identifier;          // user-interface identifier
    std::optional<std::string> representedObject;   // a string, when there is one
    std::string keyEquivalent;
    uint64_t keyEquivalentModifierMask = MODIFIER_COMMAND;
    std::optional<SymbolImage> image;
    std::optional<int> preferredImageVisibility;
    std::optional<Menu> submenu;
    bool operator==(const MenuItem&) const = default;
};

inline bool Menu::operator==(const Menu& other) const
{
    return title == other.title && autoenablesItems == other.autoenablesItems && items == other.items;
}

// A separator item.
MenuItem separatorItem();

struct StatusItemButton {
    std::optional<SymbolImage> image;
    std::string title;
    std::string toolTip;
    std::string accessibilityLabel;
    bool operator==(const StatusItemButton&) const = default;
};

using StatusItemId = int;

struct StatusItem {
    double length = VARIABLE_STATUS_ITEM_LENGTH;
    std::string autosaveName;
    StatusItemButton button;
    std::optional<Menu> menu;
    bool operator==(const StatusItem&) const = default;
};

// Where a menu was opened or picked: a status item's menu, or a menu popped
// up by the host (statusItem absent).
struct MenuPlace {
    std::optional<StatusItemId> statusItem;
    bool operator==(const MenuPlace&) const = default;
};

// The item picked, with its place and its index path in that menu.
struct MenuPick {
    MenuPlace place;
    std::vector<int> path;
    MenuItem item;
};

using MenuPickHandler = std::function<void(const MenuPick&)>;
using MenuWillOpenHandler = std::function<void(const MenuPlace&)>;

// Every call is made on the main thread; handlers run on the main queue.
class StatusBar {
public:
    virtual ~StatusBar() = default;

    // Whether the system has a symbol image of this name.
    virtual bool systemSymbolExists(const std::string& name) = 0;
    // A new status item in the system status bar.
    virtual StatusItemId makeStatusItem(double length) = 0;
    virtual void setStatusItemAutosaveName(StatusItemId item, const std::string& name) = 0;
    virtual void setStatusItemButton(StatusItemId item, const StatusItemButton& button) = 0;
    virtual void setStatusItemMenu(StatusItemId item, const Menu& menu) = 0;
    // What the host set on a status item; nothing for an unknown one.
    virtual std::optional<StatusItem> statusItem(StatusItemId item) = 0;
    // The handler of picks of items with an action, in any menu.
    virtual void setMenuPickHandler(MenuPickHandler handler) = 0;
    // The top menus' delegate call: a status item's menu or a popped-up menu
    // is opening. Submenus have none.
    virtual void setMenuWillOpenHandler(MenuWillOpenHandler handler) = 0;
    // Pops the menu up at a location in screen coordinates, with no item
    // under the mouse, and returns when it closes: true when an item was
    // picked (its pick has reached the pick handler by then). Modal.
    virtual bool popUpMenu(const Menu& menu, Point location) = 0;
};

// The status bar of this process's desktop (see platform/desktop.h).
StatusBar& statusBar();

} // namespace platform
