#include "panels.h"

#include "session.h"
#include "window_server.h"

namespace desktop {

Panels::Panels(Session& session)
    : session_(session)
{
    session_.serve("panel", Session::hosts, [this](Request& request) { panel(request); });
    session_.serve("hostPanels", Session::clients, [this](Request& request) { hostPanels(request); }, false);
}

void Panels::describeHost(const HostRecord& host, json& record)
{
    json panels = json::array();
    if (auto found = hosts_.find(host.connection); found != hosts_.end()) {
        for (const auto& [id, state] : found->second.panels)
            panels.push_back(state);
    }
    record["panels"] = panels;
}

void Panels::hostLeft(HostRecord& host)
{
    auto found = hosts_.find(host.connection);
    if (found == hosts_.end())
        return;
    for (auto& [panel, window] : found->second.windows)
        session_.windowServer().removeWindow(window);
    found->second.windows.clear();
}

// What a host shows in one of its panels; a visible one is a window.
void Panels::panel(Request& request)
{
    const json& message = request.message();
    const std::string refusal = "a panel needs \"panel\" and a \"state\" of the panel shape";
    auto id = request.required<int>("panel", refusal);
    if (!id)
        return;
    auto panel = message.contains("state") ? platform::wire::panelOf(message["state"]) : std::nullopt;
    if (*id <= 0 || !panel) {
        request.refuse(refusal);
        return;
    }
    auto& windowServer = session_.windowServer();
    HostPanels& shown = hosts_[request.connection().number];
    json state = message["state"];
    state["panel"] = *id;
    shown.panels[*id] = state;
    auto& number = shown.windows[*id];
    if (!number) {
        Window window;
        window.owner = request.pid();
        window.name = "Panel-" + std::to_string(*id);
        number = windowServer.addWindow(window);
    }
    auto& window = windowServer.window(number);
    bool wasShown = window.onScreen;
    window.layer = panel->style.level;
    window.bounds = windowServer.toWindowServer(panel->frame);
    window.onScreen = panel->visible;
    // A panel ordered front comes in front of its level.
    if (panel->visible && (!wasShown || message.value("front", false)))
        windowServer.orderFront(number);
    request.reply();
}

// A client asks what a host's panels show: the members a person looks at first.
void Panels::hostPanels(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    json listed = json::array();
    if (auto found = hosts_.find(host->connection); found != hosts_.end()) {
        for (const auto& [id, state] : found->second.panels) {
            // The state is as the host sent it: read with the shape's defaults.
            auto panel = platform::wire::panelOf(state);
            if (!panel)
                continue;
            listed.push_back({{"panel", id},
                              {"text", panel->text},
                              {"frame", platform::wire::toJson(panel->frame)},
                              {"visible", panel->visible},
                              {"level", panel->style.level},
                              {"ignoresMouseEvents", panel->style.ignoresMouseEvents},
                              {"nonactivating", panel->style.nonactivating}});
        }
    }
    request.reply({{"host", host->identity.pid}, {"panels", listed}});
}

} // namespace desktop
