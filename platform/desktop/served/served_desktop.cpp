// The desktop served by the desktop server (tools/desktop): every topic
// speaks through one connection, keeps the host's own state as its headless
// self does, and falls back to that self when the server is gone.
#include "platform/desktop.h"

#include "platform/desktop/served/alerts_served.h"
#include "platform/desktop/served/application_events_served.h"
#include "platform/desktop/headless/headless_state.h"
#include "platform/desktop/served/hot_keys_served.h"
#include "platform/desktop/served/panels_served.h"
#include "platform/desktop/served/server_connection.h"
#include "platform/desktop/served/status_bar_served.h"
#include "platform/desktop/served/window_server_served.h"
#include "platform/desktop/served/workspace_served.h"
#include "platform/unix_socket.h"

namespace platform {

namespace {

class ServedDesktop final : public Desktop {
public:
    // Takes the connected socket `fd`. The topics are in place before the
    // host introduces itself, so that no event finds its handler missing.
    ServedDesktop(DesktopIdentity identity, int fd)
        : state_(std::move(identity))
        , server_(fd, state_)
        , workspace_(state_, server_)
        , windowServer_(server_)
        , statusBar_(server_)
        , hotKeys_(server_)
        , panels_(server_)
        , alerts_(server_)
        , applicationEvents_(server_)
    {
    }

    // Introduces the host; the reason it failed otherwise.
    Result<void> introduce() { return server_.introduce(state_.identity()); }

    Workspace& workspace() override { return workspace_; }
    WindowServer& windowServer() override { return windowServer_; }
    StatusBar& statusBar() override { return statusBar_; }
    HotKeys& hotKeys() override { return hotKeys_; }
    Panels& panels() override { return panels_; }
    Alerts& alerts() override { return alerts_; }
    ApplicationEvents& applicationEvents() override { return applicationEvents_; }

private:
    HeadlessState state_;
    ServerConnection server_;
    ServedWorkspace workspace_;
    ServedWindowServer windowServer_;
    ServedStatusBar statusBar_;
    ServedHotKeys hotKeys_;
    ServedPanels panels_;
    ServedAlerts alerts_;
    ServedApplicationEvents applicationEvents_;
};

} // namespace

Result<std::unique_ptr<Desktop>> connectToTheDesktopServer(const std::string& socketPath, DesktopIdentity identity)
{
    auto connected = connectToUnixSocket(socketPath);
    if (!connected)
        return connected.failure();
    auto desktop = std::make_unique<ServedDesktop>(std::move(identity), *connected);
    if (auto introduced = desktop->introduce(); !introduced)
        return introduced.failure();
    return std::unique_ptr<Desktop>(std::move(desktop));
}

} // namespace platform
