// The status bar of a session with nobody at it: status items keep what the
// host set, well-formed symbol names exist, and a popped-up menu opens and
// closes without a pick. The served status bar builds on it.
#pragma once

#include "platform/desktop/status_bar.h"

#include <map>

namespace platform {

// Whether a name is shaped like a system symbol's: lower-case letters and
// digits in parts joined by single dots ("rectangle.grid.2x2").
bool isWellFormedSymbolName(const std::string& name);

class HeadlessStatusBar : public StatusBar {
public:
    bool systemSymbolExists(const std::string& name) override;
    StatusItemId makeStatusItem(double length) override;
    void setStatusItemAutosaveName(StatusItemId item, const std::string& name) override;
    void setStatusItemButton(StatusItemId item, const StatusItemButton& button) override;
    void setStatusItemMenu(StatusItemId item, const Menu& menu) override;
    std::optional<StatusItem> statusItem(StatusItemId item) override;
    void setMenuPickHandler(MenuPickHandler handler) override;
    void setMenuWillOpenHandler(MenuWillOpenHandler handler) override;
    bool popUpMenu(const Menu& menu, Point location) override;

protected:
    // A pick of the item at `path` of a status item's menu; false when the
    // item is not there (the menu changed) or has no action.
    bool deliverStatusItemPick(StatusItemId item, const std::vector<int>& path);
    void deliverMenuPick(const MenuPick& pick);
    void deliverMenuWillOpen(const MenuPlace& place);

    // What the host set, by status item.
    std::map<StatusItemId, StatusItem> statusItems_;

private:
    StatusItemId nextStatusItem_ = 1;
    MenuPickHandler pickHandler_;
    MenuWillOpenHandler willOpenHandler_;
};

} // namespace platform
