// The status bar of the simulated session: the hosts' status items with
// their menus (each also a window in the menu bar), pop-up menus, system
// symbols, and the user opening, picking in and dismissing menus.
#pragma once

#include "request.h"
#include "topic.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace desktop {

class Session;

class StatusBar final : public Topic {
public:
    explicit StatusBar(Session& session);

    // Stands the status items in the menu bar right to left, left of the clock.
    void layout();

    std::optional<std::string> load(const json& session) override;
    void describe(json& state) override;
    void describeHost(const HostRecord& host, json& record) override;
    void hostLeft(HostRecord& host) override;

private:
    // What a host drew and did in the status bar.
    struct HostBar {
        std::map<int, json> statusItems;
        std::map<int, uint32_t> statusItemWindows;
        std::optional<PendingCall> popUp;
        std::optional<int> menuOpen;
        // The row whose submenu the user holds open in the shown menu.
        std::optional<std::vector<int>> openSubmenu;
        json popUps = json::array();
    };

    std::optional<std::vector<int>> pickablePath(const platform::Menu& menu, Request& request);
    std::optional<int> statusItemIn(HostBar& bar, Request& request);
    void endThePopUp(HostRecord& host, HostBar& bar, const json& picked);

    void systemSymbolExists(Request& request);
    void statusItem(Request& request);
    void popUp(Request& request);
    void setMissingSymbols(Request& request);
    void pick(Request& request);
    void openMenu(Request& request);
    void dismiss(Request& request);
    void openSubmenu(Request& request);

    Session& session_;
    std::map<uint64_t, HostBar> bars_;
    std::set<std::string> missingSymbols_;
};

} // namespace desktop
