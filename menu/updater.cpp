#include "menu/updater.h"

#include "overlays/panel_host.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/locale.h"
#include "platform/main_queue.h"
#include "platform/text.h"
#include "supervision/death_log.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <unistd.h>

namespace kestrune::menu {

namespace {
using StartEntry = int32_t (*)(const char* feed);
using CheckEntry = int32_t (*)();

constexpr double UPDATER_SYMBOL_POINT_SIZE = 13;

// The updater's records go to the death log of the host itself.
void record(nlohmann::json entry)
{
    entry["at"] = platform::clock.now();
    supervision::append(std::move(entry), supervision::deathLog(getpid()));
}

platform::MenuItem updaterItem(const std::string& identifier, const std::string& title, const std::string& symbol, bool enabled)
{
    platform::MenuItem item;
    item.title = title;
    item.hasAction = true;
    item.keyEquivalent = "";
    std::string shortName = identifier;
    for (auto at = shortName.find("host."); at != std::string::npos; at = shortName.find("host."))
        shortName.erase(at, 5);
    item.identifier = "menu-row:" + shortName;
    item.representedObject = identifier;
    item.enabled = enabled;
    if (platform::statusBar().systemSymbolExists(symbol))
        item.image = platform::SymbolImage{symbol, title, UPDATER_SYMBOL_POINT_SIZE, platform::FONT_WEIGHT_REGULAR, std::nullopt, true};
    return item;
}
} // namespace

bool isTurkish(const std::string& language)
{
    return language.rfind("tr", 0) == 0;
}

Updater::Updater(const nlohmann::json& info, bool frozen, overlays::PanelHost& views)
    : views_(views)
{
    if (auto given = info.find(updateFeedKey);
        frozen && given != info.end() && given->is_string() && !given->get<std::string>().empty())
        feed_ = given->get<std::string>();
    if (auto version = info.find("CFBundleVersion"); version != info.end() && version->is_string())
        build_ = version->get<std::string>();
    auto languages = platform::preferredLanguages();
    turkish_ = !languages.empty() && isTurkish(languages.front());
}

void Updater::startTheUpdaterOfTheFeed()
{
    platform::assertOnTheMainThread("startTheUpdaterOfTheFeed");
    if (!feed_)
        return;
    auto start = views_.entry("kestrune_start_updater");
    if (!start) {
        record({{"kind", "updater-failed"},
                {"why", "symbol-missing"},
                {"views", views_.viewsPath()},
                {"error", platform::repairedUTF8(start.failure().description())}});
        return;
    }
    int32_t code = reinterpret_cast<StartEntry>(*start)(feed_->c_str());
    started_ = code == 0;
    record({{"kind", started_ ? "updater-started" : "updater-failed"}, {"code", code}, {"feed", *feed_}, {"build", build_}});
}

void Updater::appendTheUpdaterRows(platform::Menu& menu) const
{
    platform::assertOnTheMainThread("appendTheUpdaterRows");
    if (!feed_)
        return;
    menu.items.push_back(platform::separatorItem());
    menu.items.push_back(updaterItem(checkForUpdatesRow, turkish_ ? "G\u00FCncellemeleri Denetle\u2026" : "Check for Updates\u2026",
                                     "arrow.down.circle", started_));
    menu.items.push_back(updaterItem(builtWithRow, "Built with Kestrune", "sparkles", true));
}

bool Updater::pickedTheUpdaterRow(const std::string& identifier)
{
    platform::assertOnTheMainThread("pickedTheUpdaterRow");
    if (identifier == checkForUpdatesRow) {
        checkForUpdatesFromTheMenu("menu");
        return true;
    }
    if (identifier == builtWithRow) {
        platform::workspace().openURL(builtWithURL);
        return true;
    }
    return false;
}

void Updater::checkForUpdatesFromTheMenu(const std::string& from)
{
    platform::assertOnTheMainThread("checkForUpdatesFromTheMenu");
    auto check = views_.entry("kestrune_check_for_updates");
    if (!check)
        return;
    int32_t code = reinterpret_cast<CheckEntry>(*check)();
    record({{"kind", "update-check"}, {"code", code}, {"from", from}});
}

void Updater::checkForUpdatesFromTheShell()
{
    platform::assertOnTheMainThread("checkForUpdatesFromTheShell");
    if (feed_ && started_) {
        auto& workspace = platform::workspace();
        if (workspace.activationPolicy() == platform::ActivationPolicy::prohibited)
            workspace.setActivationPolicy(platform::ActivationPolicy::accessory);
        workspace.activateIgnoringOtherApps();
        checkForUpdatesFromTheMenu("shell");
        return;
    }
    record({{"kind", "update-check-ignored"},
            {"from", "shell"},
            {"feed", feed_ ? nlohmann::json(*feed_) : nlohmann::json(nullptr)},
            {"started", started_}});
}

} // namespace kestrune::menu
