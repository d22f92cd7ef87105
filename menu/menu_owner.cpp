#include "menu/menu_owner.h"

#include "channel/outgoing.h"
#include "links/delivery.h"
#include "menu/key_equivalent.h"
#include "menu/updater.h"
#include "platform/clock.h"
#include "platform/desktop/window_server.h"
#include "platform/desktop/workspace.h"
#include "platform/files.h"
#include "platform/json_line.h"
#include "platform/main_queue.h"
#include "socket/listener.h"
#include "supervision/death_log.h"
#include "supervision/launch.h"
#include "supervision/signals.h"

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <unordered_map>

namespace kestrune::menu {

namespace {

// The point size of row symbols.
constexpr double REGULAR_WEIGHT = platform::FONT_WEIGHT_REGULAR;
constexpr double ROW_SYMBOL_POINT_SIZE = 13;

// How deep a "menu" message may nest before it is no menu at all; rows
// themselves are flat, so only odd values nest.
constexpr int MESSAGE_DEPTH_LIMIT = 1024;

std::optional<double> numberOf(const Row& row, const char* key)
{
    auto found = row.find(key);
    if (found == row.end() || !found->is_number())
        return std::nullopt;
    return found->get<double>();
}

// A menu as it is being built: its items, and for each item that opens a
// submenu, the index of that submenu among the menus being built.
struct MenuUnderConstruction {
    platform::Menu menu;
    std::vector<std::pair<std::size_t, std::size_t>> submenus;   // item index, menu index
    int depth = 0;
};

// The item a row draws as.
platform::MenuItem itemOf(const Row& row, const std::string& identifier, bool opensSubmenu)
{
    platform::MenuItem item;
    item.title = std::string(stringOf(row, "title").value_or(""));
    item.enabled = isTrue(row, "enabled");
    item.hasAction = item.enabled && !opensSubmenu;
    item.identifier = std::string(stringOf(row, "row").value_or(identifier));
    item.representedObject = identifier;
    if (auto key = stringOf(row, "key")) {
        if (auto equivalent = menuKeyOf(std::string(*key))) {
            item.keyEquivalent = equivalent->first;
            item.keyEquivalentModifierMask = equivalent->second;
        }
    }
    if (auto symbol = stringOf(row, "symbol"); symbol && platform::statusBar().systemSymbolExists(std::string(*symbol))) {
        item.image = platform::SymbolImage{std::string(*symbol), item.title, ROW_SYMBOL_POINT_SIZE, REGULAR_WEIGHT, std::nullopt, true};
        item.preferredImageVisibility = 1;
    }
    return item;
}

// The rows as a native menu. Rows land in their submenu only when its row
// came earlier; hidden rows are left out; separators are drawn as listed.
platform::Menu menuOf(const Rows& rows)
{
    std::vector<MenuUnderConstruction> menus(1);
    menus[0].menu.autoenablesItems = false;
    std::unordered_map<std::string_view, std::size_t> submenus;
    for (const auto& row : rows) {
        std::string identifier(stringOf(row, "id").value_or(""));
        std::size_t destination = 0;
        if (auto parent = stringOf(row, "parent")) {
            if (auto found = submenus.find(*parent); found != submenus.end())
                destination = found->second;
        }
        if (isTrue(row, "hidden"))
            continue;
        if (isSeparator(row)) {
            menus[destination].menu.items.push_back(platform::separatorItem());
            continue;
        }
        bool opensSubmenu = isTrue(row, "submenu");
        menus[destination].menu.items.push_back(itemOf(row, identifier, opensSubmenu));
        if (!opensSubmenu || menus[destination].depth >= MENU_DEPTH_LIMIT)
            continue;
        MenuUnderConstruction submenu;
        submenu.menu.title = menus[destination].menu.items.back().title;
        submenu.menu.autoenablesItems = false;
        submenu.depth = menus[destination].depth + 1;
        menus[destination].submenus.emplace_back(menus[destination].menu.items.size() - 1, menus.size());
        // The identifier's string lives in the rows, which outlive the table.
        submenus[stringOf(row, "id").value_or(std::string_view())] = menus.size();
        menus.push_back(std::move(submenu));
    }
    // A submenu is always made after the menu that holds it: from the last
    // to the first, each is complete when it moves into its item.
    for (std::size_t i = menus.size(); i-- > 0;) {
        for (auto [itemIndex, menuIndex] : menus[i].submenus)
            menus[i].menu.items[itemIndex].submenu = std::move(menus[menuIndex].menu);
    }
    return std::move(menus[0].menu);
}

} // namespace

std::optional<platform::SymbolImage> badgedSymbol(platform::SymbolImage base, const std::string& badge, const std::string&)
{
    if (!platform::statusBar().systemSymbolExists(badge))
        return std::nullopt;
    base.badge = badge;
    return base;
}

MenuOwner::MenuOwner(MenuSettings settings, Updater& updater)
    : settings_(std::move(settings))
    , updater_(updater)
{
    menu_.autoenablesItems = false;
}

void MenuOwner::drawLine(std::string_view line)
{
    platform::assertOnTheMainThread("MenuOwner::drawLine");
    auto message = platform::objectWithin(line, MESSAGE_DEPTH_LIMIT);
    if (!message)
        return;
    auto list = message->find("menu");
    if (list == message->end() || !list->is_array())
        return;
    Rows rows;
    rows.reserve(list->size());
    for (auto& row : *list) {
        if (!row.is_object())
            return;
        rows.push_back(std::move(row));
    }
    draw(std::move(rows));
}

void MenuOwner::draw(Rows rows)
{
    platform::assertOnTheMainThread("MenuOwner::draw");
    if (!drawnOnce_) {
        drawnOnce_ = true;
        listenOnceTheChildDraws();
        platform::workspace().setActivationPolicy(platform::ActivationPolicy::accessory);
        if (!settings_.hosted) {
            item_ = platform::statusBar().makeStatusItem(platform::VARIABLE_STATUS_ITEM_LENGTH);
            platform::statusBar().setStatusItemAutosaveName(*item_, settings_.identity);
        }
        std::weak_ptr<MenuOwner> weak = weak_from_this();
        supervision::setTheReopenMenu([weak] {
            auto owner = weak.lock();
            return owner && owner->popUpAtTheCursor();
        });
    }
    rows_ = std::move(rows);
    drawTheStatusItem();

    menu_ = menuOf(rows_);
    updater_.appendTheUpdaterRows(menu_);
    if (item_)
        platform::statusBar().setStatusItemMenu(*item_, menu_);

    nlohmann::json publishedAt = nullptr;
    if (settings_.hosted && publish())
        publishedAt = settings_.menuFile;
    pid_t shell = supervision::shellPid();
    supervision::append({{"at", platform::clock.now()},
                         {"kind", "menu-drawn"},
                         {"shell", shell},
                         {"statusItem", item_.has_value()},
                         {"hosted", settings_.hosted},
                         {"published", publishedAt},
                         {"menu", drawn(menu_)}},
                        supervision::deathLog(shell));
}

// The status item shows the first header's title (or the identity), the
// first header symbol (badged when the header asks), as a text item when
// the symbol is missing.
void MenuOwner::drawTheStatusItem()
{
    if (!item_)
        return;
    auto& statusBar = platform::statusBar();
    platform::StatusItemButton button;
    if (auto current = statusBar.statusItem(*item_))
        button = current->button;
    const Row* header = nullptr;
    std::optional<std::string_view> symbol;
    for (const auto& row : rows_) {
        if (stringOf(row, "kind") != "header")
            continue;
        if (!header)
            header = &row;
        if (!symbol)
            symbol = stringOf(row, "symbol");
        if (symbol)
            break;
    }
    std::string title = settings_.identity;
    if (header) {
        if (auto headerTitle = stringOf(*header, "title"))
            title = std::string(*headerTitle);
    }
    std::string symbolName(symbol.value_or(defaultStatusSymbol));
    if (!statusBar.systemSymbolExists(symbolName)) {
        button.title = title;
    } else {
        platform::SymbolImage image{symbolName, title, std::nullopt, std::nullopt, std::nullopt, false};
        if (header) {
            if (auto pointSize = numberOf(*header, "pointSize")) {
                image.pointSize = pointSize;
                image.weight = numberOf(*header, "weight").value_or(REGULAR_WEIGHT);
            }
            if (auto badge = stringOf(*header, "badge")) {
                if (auto badged = badgedSymbol(image, std::string(*badge), title))
                    image = *badged;
            }
        }
        image.isTemplate = true;
        button.image = image;
    }
    button.toolTip = title;
    button.accessibilityLabel = title;
    statusBar.setStatusItemButton(*item_, button);
}

nlohmann::json MenuOwner::drawn(const platform::Menu& menu)
{
    nlohmann::json list = nlohmann::json::array();
    // Depth first without recursion: a stack of (menu, next item).
    std::vector<std::pair<const platform::Menu*, std::size_t>> stack{{&menu, 0}};
    while (!stack.empty()) {
        auto& [current, next] = stack.back();
        if (next == current->items.size()) {
            stack.pop_back();
            continue;
        }
        const platform::MenuItem& item = current->items[next++];
        if (item.separator) {
            list.push_back({{"id", "separator"}, {"title", nullptr}});
        } else {
            nlohmann::json id = item.representedObject ? nlohmann::json(*item.representedObject)
                                : item.identifier     ? nlohmann::json(*item.identifier)
                                                      : nlohmann::json(nullptr);
            list.push_back({{"id", std::move(id)}, {"title", item.title}, {"enabled", item.enabled}});
        }
        if (item.submenu)
            stack.emplace_back(&*item.submenu, 0);
    }
    return list;
}

void MenuOwner::picked(const platform::MenuItem& item)
{
    platform::assertOnTheMainThread("MenuOwner::picked");
    const auto& identifier = item.representedObject ? item.representedObject : item.identifier;
    if (!identifier)
        return;
    if (updater_.pickedTheUpdaterRow(*identifier))
        return;
    links::yieldToTheChild();
    send(*identifier);
}

bool MenuOwner::send(const std::string& identifier)
{
    platform::assertOnTheMainThread("MenuOwner::send");
    channel::Message message;
    message["menu"] = identifier;
    auto line = platform::compactUnsorted(message);
    return line && channel::sendThroughTheGate(*line + "\n");
}

void MenuOwner::menuWillOpen()
{
    platform::assertOnTheMainThread("MenuOwner::menuWillOpen");
    if (settings_.tellsTheChildItOpened)
        channel::sendThroughTheGate("{\"opened\":true}\n");
}

bool MenuOwner::popUpAtTheCursor()
{
    platform::assertOnTheMainThread("MenuOwner::popUpAtTheCursor");
    if (!drawnOnce_)
        return false;
    platform::Point location = platform::windowServer().mouseLocation();
    supervision::append({{"at", platform::clock.now()}, {"kind", "reopen"}, {"x", location.x}, {"y", location.y}},
                        supervision::deathLog(supervision::shellPid()));
    platform::statusBar().popUpMenu(menu_, location);
    return true;
}

bool MenuOwner::publish()
{
    platform::assertOnTheMainThread("MenuOwner::publish");
    std::string text;
    try {
        text = published().dump();   // std::map keys: sorted
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    platform::makeFolders(platform::deletingLastComponent(settings_.menuFile));
    return platform::replaceAtomically(settings_.menuFile, text).ok();
}

// Under a hosting parent the first drawing opens menu.sock, once: a
// listener that fails is recorded and not tried again.
void MenuOwner::listenOnceTheChildDraws()
{
    if (!settings_.hosted || !supervision::drawsTheChildsMenu())
        return;
    if (socket::listeningForTheHost())
        return;
    bool listening = socket::listenForTheHost(settings_.menuSocketPath);
    supervision::append({{"at", platform::clock.now()}, {"kind", "host-listening"}, {"socket", settings_.menuSocketPath}, {"listening", listening}},
                        supervision::deathLog(getpid()));
}

void MenuOwner::hearTheStatusBar()
{
    platform::assertOnTheMainThread("MenuOwner::hearTheStatusBar");
    std::weak_ptr<MenuOwner> weak = weak_from_this();
    platform::statusBar().setMenuPickHandler([weak](const platform::MenuPick& pick) {
        if (auto owner = weak.lock())
            owner->picked(pick.item);
    });
    if (settings_.tellsTheChildItOpened)
        platform::statusBar().setMenuWillOpenHandler([weak](const platform::MenuPlace&) {
            if (auto owner = weak.lock())
                owner->menuWillOpen();
        });
}

} // namespace kestrune::menu
