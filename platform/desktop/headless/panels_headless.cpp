#include "platform/desktop/headless/panels_headless.h"

#include "platform/main_queue.h"

namespace platform {

PanelId HeadlessPanels::makePanel(const PanelStyle& style)
{
    assertOnTheMainThread("makePanel");
    PanelId id = nextPanel_++;
    Panel panel;
    panel.style = style;
    panel.frame = {0, 0, style.width, style.height};
    panels_[id] = panel;
    return id;
}

void HeadlessPanels::setPanelText(PanelId panel, const std::string& text)
{
    assertOnTheMainThread("setPanelText");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.text = text;
}

void HeadlessPanels::setPanelFrame(PanelId panel, const Rect& frame)
{
    assertOnTheMainThread("setPanelFrame");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.frame = frame;
}

void HeadlessPanels::orderPanelFrontRegardless(PanelId panel)
{
    assertOnTheMainThread("orderPanelFrontRegardless");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.visible = true;
}

void HeadlessPanels::orderPanelOut(PanelId panel)
{
    assertOnTheMainThread("orderPanelOut");
    if (auto found = panels_.find(panel); found != panels_.end())
        found->second.visible = false;
}

std::optional<Panel> HeadlessPanels::panel(PanelId panel)
{
    assertOnTheMainThread("panel");
    if (auto found = panels_.find(panel); found != panels_.end())
        return found->second;
    return std::nullopt;
}

} // namespace platform
