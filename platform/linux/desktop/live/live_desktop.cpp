// The live desktop: a real X11 session (window manager, keyboard, screens)
// and its session bus (the tray's status items). Built as a library of its
// own and loaded by the host only when it is chosen; its one exported symbol
// makes the desktop.
#include "platform/desktop.h"

#include "platform/desktop/headless/headless_state.h"
#include "platform/linux/desktop/live/alerts_live.h"
#include "platform/linux/desktop/live/application_events_live.h"
#include "platform/linux/desktop/live/bus_connection.h"
#include "platform/linux/desktop/live/hot_keys_live.h"
#include "platform/linux/desktop/live/panels_live.h"
#include "platform/linux/desktop/live/status_bar_live.h"
#include "platform/linux/desktop/live/window_server_live.h"
#include "platform/linux/desktop/live/workspace_live.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

namespace {

class LiveDesktop final : public Desktop {
public:
    LiveDesktop(DesktopIdentity identity, std::unique_ptr<XConnection> x, std::unique_ptr<BusConnection> bus)
        : state_(std::move(identity))
        , x_(std::move(x))
        , bus_(std::move(bus))
        , workspace_(state_, *x_)
        , windowServer_(*x_)
        , statusBar_(state_, *x_, *bus_)
        , hotKeys_(*x_)
        , panels_(*x_)
        , alerts_(*x_, state_.identity())
        , applicationEvents_(*bus_, state_.identity())
    {
    }

    Workspace& workspace() override { return workspace_; }
    WindowServer& windowServer() override { return windowServer_; }
    StatusBar& statusBar() override { return statusBar_; }
    HotKeys& hotKeys() override { return hotKeys_; }
    Panels& panels() override { return panels_; }
    Alerts& alerts() override { return alerts_; }
    // Apple events come as calls of the freedesktop application interface
    // on the session bus.
    ApplicationEvents& applicationEvents() override { return applicationEvents_; }

private:
    HeadlessState state_;
    std::unique_ptr<XConnection> x_;
    std::unique_ptr<BusConnection> bus_;
    LiveWorkspace workspace_;
    LiveWindowServer windowServer_;
    LiveStatusBar statusBar_;
    LiveHotKeys hotKeys_;
    LivePanels panels_;
    LiveAlerts alerts_;
    LiveApplicationEvents applicationEvents_;
};

} // namespace

} // namespace platform

// The library's entry point (platform::LiveDesktopEntry, live_loader.h).
extern "C" __attribute__((visibility("default"))) platform::Desktop*
kestrune_make_live_desktop(const platform::DesktopIdentity& identity, std::string& error)
{
    auto x = platform::XConnection::open();
    if (!x) {
        error = x.failure().description();
        return nullptr;
    }
    auto bus = platform::BusConnection::open();
    if (!bus) {
        error = "session bus: " + bus.failure().description();
        return nullptr;
    }
    return new platform::LiveDesktop(identity, std::move(*x), std::move(*bus));
}
