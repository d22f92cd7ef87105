// The panels of a session with nobody at it: each keeps what the host set,
// so what the host reads back is what it set. The served panels build on it.
#pragma once

#include "platform/desktop/panels.h"

#include <map>

namespace platform {

class HeadlessPanels : public Panels {
public:
    PanelId makePanel(const PanelStyle& style) override;
    void setPanelText(PanelId panel, const std::string& text) override;
    void setPanelFrame(PanelId panel, const Rect& frame) override;
    void orderPanelFrontRegardless(PanelId panel) override;
    void orderPanelOut(PanelId panel) override;
    std::optional<Panel> panel(PanelId panel) override;

protected:
    // What the host set, by panel.
    std::map<PanelId, Panel> panels_;

private:
    PanelId nextPanel_ = 1;
};

} // namespace platform
