#include "platform/desktop/served/panels_served.h"

#include "platform/desktop/wire.h"

namespace platform {

ServedPanels::ServedPanels(ServerConnection& server)
    : server_(server)
{
}

PanelId ServedPanels::makePanel(const PanelStyle& style)
{
    PanelId panel = HeadlessPanels::makePanel(style);
    tellThePanel(panel);
    return panel;
}

void ServedPanels::setPanelText(PanelId panel, const std::string& text)
{
    HeadlessPanels::setPanelText(panel, text);
    tellThePanel(panel);
}

void ServedPanels::setPanelFrame(PanelId panel, const Rect& frame)
{
    HeadlessPanels::setPanelFrame(panel, frame);
    tellThePanel(panel);
}

void ServedPanels::orderPanelFrontRegardless(PanelId panel)
{
    HeadlessPanels::orderPanelFrontRegardless(panel);
    tellThePanel(panel, true);
}

void ServedPanels::orderPanelOut(PanelId panel)
{
    HeadlessPanels::orderPanelOut(panel);
    tellThePanel(panel);
}

void ServedPanels::tellThePanel(PanelId panel, bool front)
{
    auto found = panels_.find(panel);
    if (found != panels_.end())
        server_.tell({{"op", "panel"}, {"panel", panel}, {"state", wire::toJson(found->second)}, {"front", front}});
}

} // namespace platform
