#include "platform/desktop/headless/status_bar_headless.h"

#include "platform/desktop/wire.h"
#include "platform/main_queue.h"

namespace platform {

bool isWellFormedSymbolName(const std::string& name)
{
    if (name.empty() || name.front() == '.' || name.back() == '.')
        return false;
    char previous = 0;
    for (char c : name) {
        bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
        if (!allowed || (c == '.' && previous == '.'))
            return false;
        previous = c;
    }
    return true;
}

bool HeadlessStatusBar::systemSymbolExists(const std::string& name)
{
    assertOnTheMainThread("systemSymbolExists");
    return isWellFormedSymbolName(name);
}

StatusItemId HeadlessStatusBar::makeStatusItem(double length)
{
    assertOnTheMainThread("makeStatusItem");
    StatusItemId id = nextStatusItem_++;
    StatusItem item;
    item.length = length;
    statusItems_[id] = item;
    return id;
}

void HeadlessStatusBar::setStatusItemAutosaveName(StatusItemId item, const std::string& name)
{
    assertOnTheMainThread("setStatusItemAutosaveName");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.autosaveName = name;
}

void HeadlessStatusBar::setStatusItemButton(StatusItemId item, const StatusItemButton& button)
{
    assertOnTheMainThread("setStatusItemButton");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.button = button;
}

void HeadlessStatusBar::setStatusItemMenu(StatusItemId item, const Menu& menu)
{
    assertOnTheMainThread("setStatusItemMenu");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        found->second.menu = menu;
}

std::optional<StatusItem> HeadlessStatusBar::statusItem(StatusItemId item)
{
    assertOnTheMainThread("statusItem");
    if (auto found = statusItems_.find(item); found != statusItems_.end())
        return found->second;
    return std::nullopt;
}

void HeadlessStatusBar::setMenuPickHandler(MenuPickHandler handler)
{
    assertOnTheMainThread("setMenuPickHandler");
    pickHandler_ = std::move(handler);
}

void HeadlessStatusBar::setMenuWillOpenHandler(MenuWillOpenHandler handler)
{
    assertOnTheMainThread("setMenuWillOpenHandler");
    willOpenHandler_ = std::move(handler);
}

bool HeadlessStatusBar::popUpMenu(const Menu&, Point)
{
    assertOnTheMainThread("popUpMenu");
    // The menu opens and, with nobody to pick, closes again.
    deliverMenuWillOpen(MenuPlace{});
    return false;
}

bool HeadlessStatusBar::deliverStatusItemPick(StatusItemId item, const std::vector<int>& path)
{
    auto found = statusItems_.find(item);
    if (found == statusItems_.end() || !found->second.menu)
        return false;
    const MenuItem* picked = wire::itemAt(*found->second.menu, path);
    if (!picked || picked->separator || !picked->hasAction)
        return false;
    deliverMenuPick({MenuPlace{item}, path, *picked});
    return true;
}

void HeadlessStatusBar::deliverMenuPick(const MenuPick& pick)
{
    if (pickHandler_) {
        auto handler = pickHandler_;
        handler(pick);
    }
}

void HeadlessStatusBar::deliverMenuWillOpen(const MenuPlace& place)
{
    if (willOpenHandler_) {
        auto handler = willOpenHandler_;
        handler(place);
    }
}

} // namespace platform
