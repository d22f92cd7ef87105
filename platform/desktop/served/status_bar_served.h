// The status bar drawn by the desktop server: what the host sets on its
// status items is kept here and mirrored to the server, pop-up menus wait for
// the user there, and menu openings and picks arrive as events. Without the
// server, the headless status bar.
#pragma once

#include "platform/desktop/served/server_connection.h"
#include "platform/desktop/headless/status_bar_headless.h"

namespace platform {

class ServedStatusBar final : public HeadlessStatusBar {
public:
    explicit ServedStatusBar(ServerConnection& server);

    bool systemSymbolExists(const std::string& name) override;
    StatusItemId makeStatusItem(double length) override;
    void setStatusItemAutosaveName(StatusItemId item, const std::string& name) override;
    void setStatusItemButton(StatusItemId item, const StatusItemButton& button) override;
    void setStatusItemMenu(StatusItemId item, const Menu& menu) override;
    bool popUpMenu(const Menu& menu, Point location) override;

private:
    // Shows the server what the host set on a status item.
    void tellTheStatusItem(StatusItemId item);
    // The "menuWillOpen" and "menuPick" events.
    void menuWillOpenEvent(const nlohmann::json& event);
    void menuPickEvent(const nlohmann::json& event);

    ServerConnection& server_;
};

} // namespace platform
