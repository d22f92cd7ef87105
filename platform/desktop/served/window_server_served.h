// The window server as the desktop server's session has it: windows, screens
// and the mouse are asked of the server, display changes arrive as events.
// Without the server, the headless window server.
#pragma once

#include "platform/desktop/served/server_connection.h"
#include "platform/desktop/headless/window_server_headless.h"

namespace platform {

class ServedWindowServer final : public HeadlessWindowServer {
public:
    explicit ServedWindowServer(ServerConnection& server);

    std::optional<std::vector<nlohmann::json>> onScreenWindows() override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;
    void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) override;

private:
    // The "displays" event: each change in order.
    void displaysEvent(const nlohmann::json& event);

    ServerConnection& server_;
};

} // namespace platform
