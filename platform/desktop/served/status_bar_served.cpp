#include "platform/desktop/served/status_bar_served.h"

#include "platform/desktop/wire.h"

#include <nlohmann/json.hpp>

namespace platform {

using nlohmann::json;

ServedStatusBar::ServedStatusBar(ServerConnection& server)
    : server_(server)
{
    server_.onEvent("menuWillOpen", [this](const json& event) { menuWillOpenEvent(event); });
    server_.onEvent("menuPick", [this](const json& event) { menuPickEvent(event); });
}

bool ServedStatusBar::systemSymbolExists(const std::string& name)
{
    assertOnTheMainThread("systemSymbolExists");
    if (auto reply = server_.call({{"op", "systemSymbolExists"}, {"name", name}})) {
        if (auto exists = wire::booleanAt(*reply, "exists"))
            return *exists;
    }
    return HeadlessStatusBar::systemSymbolExists(name);
}

StatusItemId ServedStatusBar::makeStatusItem(double length)
{
    StatusItemId item = HeadlessStatusBar::makeStatusItem(length);
    tellTheStatusItem(item);
    return item;
}

void ServedStatusBar::setStatusItemAutosaveName(StatusItemId item, const std::string& name)
{
    HeadlessStatusBar::setStatusItemAutosaveName(item, name);
    tellTheStatusItem(item);
}

void ServedStatusBar::setStatusItemButton(StatusItemId item, const StatusItemButton& button)
{
    HeadlessStatusBar::setStatusItemButton(item, button);
    tellTheStatusItem(item);
}

void ServedStatusBar::setStatusItemMenu(StatusItemId item, const Menu& menu)
{
    HeadlessStatusBar::setStatusItemMenu(item, menu);
    tellTheStatusItem(item);
}

bool ServedStatusBar::popUpMenu(const Menu& menu, Point location)
{
    assertOnTheMainThread("popUpMenu");
    if (server_.gone())
        return HeadlessStatusBar::popUpMenu(menu, location);
    // The menu's delegate hears of the opening before the user acts.
    deliverMenuWillOpen(MenuPlace{});
    auto reply = server_.call({{"op", "popUp"}, {"menu", wire::toJson(menu)}, {"location", wire::toJson(location)}}, true);
    if (!reply)
        return false;
    auto path = wire::pathOf(reply->value("picked", json()));
    if (!path)
        return false;
    const MenuItem* item = wire::itemAt(menu, *path);
    if (!item || item->separator || !item->hasAction)
        return false;
    deliverMenuPick({MenuPlace{}, *path, *item});
    return true;
}

void ServedStatusBar::tellTheStatusItem(StatusItemId item)
{
    auto found = statusItems_.find(item);
    if (found != statusItems_.end())
        server_.tell({{"op", "statusItem"}, {"item", item}, {"state", wire::toJson(found->second)}});
}

void ServedStatusBar::menuWillOpenEvent(const json& event)
{
    auto item = wire::integerAt(event, "item");
    MenuPlace place;
    if (item)
        place.statusItem = StatusItemId(*item);
    deliverMenuWillOpen(place);
}

void ServedStatusBar::menuPickEvent(const json& event)
{
    auto item = wire::integerAt(event, "item");
    auto path = wire::pathOf(event.value("path", json()));
    bool picked = item && path && deliverStatusItemPick(StatusItemId(*item), *path);
    server_.answer(event, {{"picked", picked}});
}

} // namespace platform
