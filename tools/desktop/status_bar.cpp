#include "status_bar.h"

#include "menu_bar.h"
#include "session.h"
#include "window_server.h"

#include "platform/desktop/headless/status_bar_headless.h"

#include <algorithm>
#include <functional>

namespace desktop {

namespace {

namespace wire = platform::wire;

// An item of a menu named by its represented object, its identifier or its
// title (in that order of preference), depth first. Menus are at most as
// deep as the protocol lets them be.
std::optional<std::vector<int>> rowIn(const platform::Menu& menu, const std::string& row)
{
    for (int pass = 0; pass < 3; ++pass) {
        std::vector<int> path;
        std::function<bool(const platform::Menu&)> search = [&](const platform::Menu& current) {
            for (std::size_t i = 0; i < current.items.size(); ++i) {
                const auto& item = current.items[i];
                path.push_back(int(i));
                bool matches = !item.separator
                               && ((pass == 0 && item.representedObject == row) || (pass == 1 && item.identifier == row)
                                   || (pass == 2 && item.title == row));
                if (matches || (item.submenu && search(*item.submenu)))
                    return true;
                path.pop_back();
            }
            return false;
        };
        if (search(menu))
            return path;
    }
    return std::nullopt;
}

} // namespace

StatusBar::StatusBar(Session& session)
    : session_(session)
{
    auto serve = [this](const char* op, const Session::Roles& roles, void (StatusBar::*handle)(Request&)) {
        session_.serve(op, roles, [this, handle](Request& request) { (this->*handle)(request); });
    };
    serve("systemSymbolExists", Session::anyone, &StatusBar::systemSymbolExists);
    serve("statusItem", Session::hosts, &StatusBar::statusItem);
    serve("popUp", Session::hosts, &StatusBar::popUp);
    serve("missingSymbols", Session::clients, &StatusBar::setMissingSymbols);
    serve("pick", Session::clients, &StatusBar::pick);
    serve("openMenu", Session::clients, &StatusBar::openMenu);
    serve("dismiss", Session::clients, &StatusBar::dismiss);
    serve("openSubmenu", Session::clients, &StatusBar::openSubmenu);
}

void StatusBar::layout()
{
    auto& windowServer = session_.windowServer();
    const auto& screens = windowServer.screens();
    double x = (screens.empty() ? 0 : screens[0].frame.width) - MENU_BAR_CLOCK_WIDTH;
    for (auto& host : session_.hostRecords()) {
        auto bar = bars_.find(host.connection);
        if (bar == bars_.end())
            continue;
        for (auto& [item, number] : bar->second.statusItemWindows) {
            auto& window = windowServer.window(number);
            double width = statusItemWidth(bar->second.statusItems[item]);
            x -= width;
            window.bounds = {x, 0, width, MENU_BAR_HEIGHT};
            window.onScreen = host.connected;
        }
    }
}

std::optional<std::string> StatusBar::load(const json& session)
{
    if (auto missing = session.find("missingSymbols"); missing != session.end()) {
        if (!missing->is_array())
            return "\"missingSymbols\" must be a list of names";
        for (const auto& name : *missing) {
            if (name.is_string())
                missingSymbols_.insert(name.get<std::string>());
        }
    }
    return std::nullopt;
}

void StatusBar::describe(json& state)
{
    state["missingSymbols"] = missingSymbols_;
}

void StatusBar::describeHost(const HostRecord& host, json& record)
{
    auto found = bars_.find(host.connection);
    const HostBar& bar = found != bars_.end() ? found->second : HostBar();
    json items = json::array();
    for (const auto& [id, state] : bar.statusItems)
        items.push_back(state);
    record["statusItems"] = items;
    record["popUp"] = bar.popUp ? bar.popUp->body : json(nullptr);
    record["menuOpen"] = bar.menuOpen ? json(*bar.menuOpen) : json(nullptr);
    record["openSubmenu"] = bar.openSubmenu ? json(*bar.openSubmenu) : json(nullptr);
    record["popUps"] = bar.popUps;
}

void StatusBar::hostLeft(HostRecord& host)
{
    auto found = bars_.find(host.connection);
    if (found != bars_.end()) {
        HostBar& bar = found->second;
        bar.popUp.reset();
        bar.menuOpen.reset();
        bar.openSubmenu.reset();
        for (auto& [item, window] : bar.statusItemWindows)
            session_.windowServer().removeWindow(window);
        bar.statusItemWindows.clear();
    }
    layout();
}

// --- Requests of hosts and applications ----------------------------------------------

// Whether a system symbol of this name exists here.
void StatusBar::systemSymbolExists(Request& request)
{
    auto name = request.required<std::string>("name");
    if (!name)
        return;
    bool exists = platform::isWellFormedSymbolName(*name) && !missingSymbols_.count(*name);
    request.reply({{"exists", exists}});
}

// What a host drew in one of its status items.
void StatusBar::statusItem(Request& request)
{
    const json& message = request.message();
    auto item = request.required<int>("item", "a status item needs \"item\" and a \"state\" of the status-item shape");
    if (!item)
        return;
    if (*item <= 0 || !message.contains("state") || !wire::statusItemOf(message["state"])) {
        request.refuse("a status item needs \"item\" and a \"state\" of the status-item shape");
        return;
    }
    HostBar& bar = bars_[request.connection().number];
    json state = message["state"];
    state["item"] = *item;
    bar.statusItems[*item] = state;
    if (!bar.statusItemWindows.count(*item)) {
        Window window;
        window.owner = request.pid();
        window.layer = platform::STATUS_WINDOW_LEVEL;
        window.statusItem = true;
        window.name = "Item-" + std::to_string(*item);
        bar.statusItemWindows[*item] = session_.windowServer().addWindow(window);
    }
    layout();
    request.reply();
}

// A host pops a menu up; the reply waits for the user.
void StatusBar::popUp(Request& request)
{
    const json& message = request.message();
    HostRecord* host = session_.hostByConnection(request.connection().number);
    auto menu = message.contains("menu") ? wire::menuOf(message["menu"]) : std::nullopt;
    auto location = message.contains("location") ? wire::pointOf(message["location"]) : std::nullopt;
    if (!menu || !location || !message.contains("id")) {
        request.refuse("a pop-up needs an \"id\", a \"menu\" and a \"location\"");
        return;
    }
    if (host->inModalCall) {
        request.refuse("the host is in a modal call already");
        return;
    }
    host->inModalCall = true;
    bars_[host->connection].openSubmenu.reset();
    bars_[host->connection].popUp = PendingCall{message, {{"menu", message["menu"]}, {"location", message["location"]}}, session_.nextSeq()};
}

// --- Requests of clients -----------------------------------------------------------

// Names the system symbols that do not exist.
void StatusBar::setMissingSymbols(Request& request)
{
    auto names = request.message().find("names");
    if (names == request.message().end() || !names->is_array()) {
        request.refuse("\"names\" must be a list of symbol names");
        return;
    }
    missingSymbols_.clear();
    for (const auto& name : *names) {
        if (name.is_string())
            missingSymbols_.insert(name.get<std::string>());
    }
    request.reply();
}

// The path of the row a client picks, checked as the user would find it:
// every menu on the way open to them, the row enabled and with an action.
std::optional<std::vector<int>> StatusBar::pickablePath(const platform::Menu& menu, Request& request)
{
    const json& message = request.message();
    std::optional<std::vector<int>> path;
    std::string name;
    if (message.contains("path")) {
        path = wire::pathOf(message["path"]);
        name = message["path"].dump();
    } else if (auto row = wire::stringAt(message, "row")) {
        path = rowIn(menu, *row);
        name = "\"" + *row + "\"";
    } else {
        request.refuse("name the row with \"row\" (its id or title) or \"path\"");
        return std::nullopt;
    }
    if (!path || !wire::itemAt(menu, *path)) {
        request.refuse("no row " + name + " in the menu");
        return std::nullopt;
    }
    std::vector<int> prefix;
    for (int index : *path) {
        prefix.push_back(index);
        const auto* item = wire::itemAt(menu, prefix);
        if (item->separator) {
            request.refuse("row " + name + " is a separator");
            return std::nullopt;
        }
        if (!item->enabled) {
            request.refuse("row " + name + (prefix.size() < path->size() ? " is in a disabled submenu" : " is disabled"));
            return std::nullopt;
        }
    }
    if (!wire::itemAt(menu, *path)->hasAction) {
        request.refuse("row " + name + " has no action");
        return std::nullopt;
    }
    return path;
}

// The status item a client names ("item"), or the host's first.
std::optional<int> StatusBar::statusItemIn(HostBar& bar, Request& request)
{
    if (auto item = wire::integerAt(request.message(), "item")) {
        if (bar.statusItems.count(int(*item)))
            return int(*item);
        request.refuse("the host has no status item " + std::to_string(*item));
        return std::nullopt;
    }
    if (bar.statusItems.empty()) {
        request.refuse("the host has no status item");
        return std::nullopt;
    }
    return bar.statusItems.begin()->first;
}

// Closes the host's pop-up menu and answers its request with the pick or null.
void StatusBar::endThePopUp(HostRecord& host, HostBar& bar, const json& picked)
{
    PendingCall popUp = std::move(*bar.popUp);
    bar.popUp.reset();
    bar.openSubmenu.reset();
    host.inModalCall = false;
    bar.popUps.push_back({{"menu", popUp.body["menu"]}, {"location", popUp.body["location"]}, {"picked", picked}});
    session_.replyTo(host.connection, popUp.request, {{"picked", picked}});
}

// The user picks a row of the host's pop-up menu, else of its status item's menu.
void StatusBar::pick(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    HostBar& bar = bars_[host->connection];
    if (bar.popUp) {
        auto menu = wire::menuOf(bar.popUp->body["menu"]);
        auto path = pickablePath(*menu, request);
        if (!path)
            return;
        json picked = wire::toJson(*wire::itemAt(*menu, *path));
        endThePopUp(*host, bar, json(*path));
        request.reply({{"host", host->identity.pid}, {"popUp", true}, {"path", *path}, {"item", picked}});
        return;
    }
    auto item = statusItemIn(bar, request);
    if (!item)
        return;
    auto menu = wire::menuOf(bar.statusItems[*item].value("menu", json()));
    if (!menu) {
        request.refuse("status item " + std::to_string(*item) + " has no menu");
        return;
    }
    auto path = pickablePath(*menu, request);
    if (!path)
        return;
    // The user opens the menu before picking in it.
    if (bar.menuOpen != *item)
        session_.sendEvent(*host, {{"event", "menuWillOpen"}, {"item", *item}});
    bar.menuOpen.reset();
    bar.openSubmenu.reset();
    session_.ask(*host, {{"event", "menuPick"}, {"item", *item}, {"path", *path}}, request);
}

// The user opens a status item's menu.
void StatusBar::openMenu(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    HostBar& bar = bars_[host->connection];
    auto item = statusItemIn(bar, request);
    if (!item)
        return;
    if (bar.statusItems[*item].value("menu", json()).is_null()) {
        request.refuse("status item " + std::to_string(*item) + " has no menu");
        return;
    }
    bar.menuOpen = *item;
    bar.openSubmenu.reset();
    session_.sendEvent(*host, {{"event", "menuWillOpen"}, {"item", *item}});
    request.reply({{"host", host->identity.pid}, {"item", *item}});
}

// The user closes the pop-up menu or the open menu without a pick.
void StatusBar::dismiss(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    HostBar& bar = bars_[host->connection];
    if (bar.popUp) {
        endThePopUp(*host, bar, nullptr);
        request.reply({{"host", host->identity.pid}, {"dismissed", "popUp"}});
    } else if (bar.menuOpen) {
        bar.menuOpen.reset();
        bar.openSubmenu.reset();
        request.reply({{"host", host->identity.pid}, {"dismissed", "menu"}});
    } else {
        request.refuse("no menu of the host is open");
    }
}

// The user holds a row of the shown menu (the pop-up, else the open status
// menu) and its submenu opens beside it.
void StatusBar::openSubmenu(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    HostBar& bar = bars_[host->connection];
    std::optional<platform::Menu> menu;
    if (bar.popUp)
        menu = wire::menuOf(bar.popUp->body["menu"]);
    else if (bar.menuOpen)
        menu = wire::menuOf(bar.statusItems[*bar.menuOpen].value("menu", json()));
    if (!menu) {
        request.refuse("no menu of the host is open");
        return;
    }
    const json& message = request.message();
    std::optional<std::vector<int>> path;
    std::string name;
    if (message.contains("path")) {
        path = wire::pathOf(message["path"]);
        name = message["path"].dump();
    } else if (auto row = wire::stringAt(message, "row")) {
        path = rowIn(*menu, *row);
        name = "\"" + *row + "\"";
    } else {
        request.refuse("name the row with \"row\" (its id or title) or \"path\"");
        return;
    }
    if (!path || path->empty() || !wire::itemAt(*menu, *path)) {
        request.refuse("no row " + name + " in the menu");
        return;
    }
    // Every row on the way must open its submenu for the user.
    std::vector<int> prefix;
    for (int index : *path) {
        prefix.push_back(index);
        const auto* item = wire::itemAt(*menu, prefix);
        if (item->separator || !item->enabled || !item->submenu) {
            request.refuse("row " + name + (item->submenu ? " is disabled" : " opens no submenu"));
            return;
        }
    }
    bar.openSubmenu = *path;
    request.reply({{"host", host->identity.pid}, {"path", *path}});
}

} // namespace desktop
