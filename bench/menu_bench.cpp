// Drawing and publishing the shell's menu as its size grows: a "menu"
// message of 10,000 rows and one of 100,000, each from the message's line
// to menu.json written (drawn on the headless desktop, published as under a
// hosting parent, with its record). Ten times the rows should cost at most
// twelve times the time; the figure printed is that ratio, from medians of
// interleaved runs.
#include "menu/menu_owner.h"
#include "overlays/panel_host.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace kestrune;

namespace {

constexpr int REPETITIONS = 9;

// A menu message of `count` rows as a shell sends it: a header, rows in
// submenus of twenty, separators, keys and symbols.
std::string menuLine(int count)
{
    nlohmann::json rows = nlohmann::json::array();
    rows.push_back({{"kind", "header"}, {"title", "Bench"}, {"symbol", "star"}});
    for (int i = 1; i < count; ++i) {
        if (i % 20 == 1) {
            rows.push_back({{"id", "group" + std::to_string(i)}, {"title", "Group " + std::to_string(i)}, {"submenu", true}, {"enabled", true}});
        } else if (i % 7 == 0) {
            rows.push_back({{"kind", "separator"}, {"parent", "group" + std::to_string(i - i % 20 + 1)}});
        } else {
            rows.push_back({{"id", "row" + std::to_string(i)}, {"parent", "group" + std::to_string(i - (i - 1) % 20)},
                            {"title", "Row number " + std::to_string(i)}, {"enabled", i % 3 != 0}, {"key", "⌘⇧K"}, {"symbol", "doc"}});
        }
    }
    return nlohmann::json{{"menu", rows}}.dump();
}

double secondsToDraw(menu::MenuOwner& owner, const std::string& line)
{
    auto start = std::chrono::steady_clock::now();
    owner.drawLine(line);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main()
{
    platform::markTheMainThread();
    char folder[] = "/tmp/kestrune-menu-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::string base = folder;
    // Each drawing's record, with every drawn row, goes to the death log:
    // part of the cost measured, kept in the benchmark's own folder.
    supervision::setTheDeathLog("com.example.bench", base + "/shell.jsonl");
    overlays::PanelHost views(base + "/libViews.dylib");
    menu::Updater updater(nlohmann::json::object(), false, views);
    auto owner = std::make_shared<menu::MenuOwner>(
        menu::MenuSettings{
            .identity = "com.example.bench",
            .hosted = true,
            .tellsTheChildItOpened = false,
            .menuFile = base + "/menu.json",
            .menuSocketPath = base + "/menu.sock",
        },
        updater);
    owner->hearTheStatusBar();
    const std::string small = menuLine(10000);
    const std::string large = menuLine(100000);
    std::vector<double> smallTimes, largeTimes;
    secondsToDraw(*owner, small);   // the first drawing makes the status item
    for (int i = 0; i < REPETITIONS; ++i) {
        smallTimes.push_back(secondsToDraw(*owner, small));
        largeTimes.push_back(secondsToDraw(*owner, large));
    }
    double smallMedian = median(smallTimes), largeMedian = median(largeTimes);
    std::printf("menu of 10,000 rows, line to menu.json: %.1f ms (median of %d)\n", smallMedian * 1000, REPETITIONS);
    std::printf("menu of 100,000 rows, line to menu.json: %.1f ms\n", largeMedian * 1000);
    std::printf("ratio, 10x the rows: %.2fx the time (goal at most 12x)\n", largeMedian / smallMedian);
    std::system(("rm -rf '" + base + "'").c_str());
    return 0;
}
