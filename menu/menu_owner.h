// The shell's menu on screen: the status item with the header's symbol,
// title and badge, the menu rebuilt on every "menu" message, picks and
// openings told to the shell, the pop-up at the mouse, and, under a hosting
// parent, the published tree in menu.json.
#pragma once

#include "menu/rows.h"
#include "menu/updater.h"
#include "platform/desktop/status_bar.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::menu {

// The status item's symbol when no header names one.
inline const std::string defaultStatusSymbol = "rectangle.grid.2x2";

// Where the menu goes and what the host does with it, fixed at start-up.
struct MenuSettings {
    std::string identity;              // the bundle identifier: title fallback, autosave name
    bool hosted = false;               // a parent shows the menu: no status item, menu.json
    bool tellsTheChildItOpened = false;
    std::string menuFile;              // .../Application Support/<identity>/menu.json
    std::string menuSocketPath;        // .../Application Support/<identity>/menu.sock
};

class MenuOwner : public std::enable_shared_from_this<MenuOwner> {
public:
    // The updater's rows end the drawn menu and its picks go to `updater`.
    MenuOwner(MenuSettings settings, Updater& updater);
    MenuOwner(const MenuOwner&) = delete;
    MenuOwner& operator=(const MenuOwner&) = delete;

    // Makes this owner hear the status bar's picks, and the menu opening
    // when the shell asked to hear it, for the process's life.
    void hearTheStatusBar();

    // The rows of a "menu" message line; the message is read here, on the
    // main thread. A line that is no menu message draws nothing.
    void drawLine(std::string_view line);
    // Draws the rows: the status item (created at the first drawing), the
    // menu, menu.json when hosted, and the "menu-drawn" record.
    void draw(Rows rows);
    // The drawn menu as a flat list, depth first, for the record.
    static nlohmann::json drawn(const platform::Menu& menu);

    // A row was picked: the updater's rows stay here, others go to the
    // shell after it was let take activation.
    void picked(const platform::MenuItem& item);
    // {"menu": identifier} through the gate; true when the inbox took it.
    bool send(const std::string& identifier);
    // The top menu opens: {"opened":true} when the shell asked to hear it.
    void menuWillOpen();
    // Pops the menu up at the mouse (modal); false before the first drawing.
    bool popUpAtTheCursor();
    // Writes menu.json atomically: the published tree, keys sorted, compact.
    bool publish();

    bool drawnOnce() const { return drawnOnce_; }
    const Rows& rows() const { return rows_; }
    std::optional<std::string> titleOf(std::string_view identifier) const { return menu::titleOf(rows_, identifier); }
    nlohmann::json published() const { return menu::published(rows_); }
    const platform::Menu& menu() const { return menu_; }

private:
    void drawTheStatusItem();
    void listenOnceTheChildDraws();

    MenuSettings settings_;
    Updater& updater_;
    platform::Menu menu_;
    std::optional<platform::StatusItemId> item_;
    bool drawnOnce_ = false;
    Rows rows_;
};

// The base image with the badge symbol (8 points, bold) drawn at its lower
// right corner as platform::badgeGeometry places it; nothing when the
// system has no symbol of the badge's name.
std::optional<platform::SymbolImage> badgedSymbol(platform::SymbolImage base, const std::string& badge, const std::string& description);

} // namespace kestrune::menu
