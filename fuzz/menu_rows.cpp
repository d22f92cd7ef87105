// A "menu" message through everything the host does with it: the rows
// drawn on the headless desktop, published as the tree menu.json holds,
// their separators cleaned, their key strings read. Whatever the rows say,
// nothing may crash, recurse without bound or loop, and the published tree
// must stay within the depth limit.
#include "menu/key_equivalent.h"
#include "menu/menu_owner.h"
#include "menu/rows.h"
#include "menu/updater.h"
#include "overlays/panel_host.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace kestrune;

namespace {
menu::MenuOwner& setUp()
{
    static menu::MenuOwner& owner = []() -> menu::MenuOwner& {
        platform::markTheMainThread();
        // Each drawing's record goes nowhere: its folder cannot exist.
        supervision::setTheDeathLog("com.example.acme", "/dev/null/shell.jsonl");
        static overlays::PanelHost views("/nonexistent/libViews.dylib");
        static menu::Updater updater(nlohmann::json::object(), false, views);
        static auto made = std::make_shared<menu::MenuOwner>(
            menu::MenuSettings{.identity = "com.example.acme", .hosted = false, .tellsTheChildItOpened = true, .menuFile = "", .menuSocketPath = ""},
            updater);
        made->hearTheStatusBar();
        return *made;
    }();
    return owner;
}

// How deep submenus with rows nest in a published tree, counted without
// recursion.
int depthOf(const nlohmann::json& tree)
{
    int deepest = 0;
    std::vector<std::pair<const nlohmann::json*, int>> pending{{&tree, 0}};
    while (!pending.empty()) {
        auto [list, depth] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, depth);
        for (const auto& entry : *list) {
            // A submenu row below the limit publishes an empty submenu.
            if (auto submenu = entry.find("submenu"); submenu != entry.end() && !submenu->empty())
                pending.emplace_back(&*submenu, depth + 1);
        }
    }
    return deepest;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    menu::MenuOwner& owner = setUp();
    std::string line(reinterpret_cast<const char*>(data), size);
    owner.drawLine(line);
    const auto& rows = owner.rows();
    if (depthOf(menu::published(rows)) > menu::MENU_DEPTH_LIMIT)
        __builtin_trap();
    menu::withoutStraySeparators(rows);
    for (const auto& row : rows) {
        if (auto key = menu::stringOf(row, "key"))
            menu::menuKeyOf(std::string(*key));
        if (auto id = menu::stringOf(row, "id"))
            menu::titleOf(rows, *id);
    }
    return 0;
}
