// Panels kept here and mirrored to the desktop server, which shows the
// visible ones in its window list. Without the server, the headless panels.
#pragma once

#include "platform/desktop/headless/panels_headless.h"
#include "platform/desktop/served/server_connection.h"

namespace platform {

class ServedPanels final : public HeadlessPanels {
public:
    explicit ServedPanels(ServerConnection& server);

    PanelId makePanel(const PanelStyle& style) override;
    void setPanelText(PanelId panel, const std::string& text) override;
    void setPanelFrame(PanelId panel, const Rect& frame) override;
    void orderPanelFrontRegardless(PanelId panel) override;
    void orderPanelOut(PanelId panel) override;

private:
    // Shows the server the panel; `front`: it was ordered front, so it comes
    // before its level.
    void tellThePanel(PanelId panel, bool front = false);

    ServerConnection& server_;
};

} // namespace platform
