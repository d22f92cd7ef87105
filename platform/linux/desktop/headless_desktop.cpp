// The headless desktop: a session with nobody at it. No other application
// runs, no window is on screen, hot keys register and are never pressed,
// alerts are answered with their first button, and the host's own state is
// kept so that what the host reads back is what it set.
#include "platform/desktop.h"

#include "platform/linux/desktop/alerts_headless.h"
#include "platform/linux/desktop/application_events_headless.h"
#include "platform/linux/desktop/headless_state.h"
#include "platform/linux/desktop/hot_keys_headless.h"
#include "platform/linux/desktop/panels_headless.h"
#include "platform/linux/desktop/status_bar_headless.h"
#include "platform/linux/desktop/window_server_headless.h"
#include "platform/linux/desktop/workspace_headless.h"

namespace platform {

namespace {

class HeadlessDesktop final : public Desktop {
public:
    explicit HeadlessDesktop(DesktopIdentity identity)
        : state_(std::move(identity))
        , workspace_(state_)
    {
    }

    Workspace& workspace() override { return workspace_; }
    WindowServer& windowServer() override { return windowServer_; }
    StatusBar& statusBar() override { return statusBar_; }
    HotKeys& hotKeys() override { return hotKeys_; }
    Panels& panels() override { return panels_; }
    Alerts& alerts() override { return alerts_; }
    ApplicationEvents& applicationEvents() override { return applicationEvents_; }

private:
    HeadlessState state_;
    HeadlessWorkspace workspace_;
    HeadlessWindowServer windowServer_;
    HeadlessStatusBar statusBar_;
    HeadlessHotKeys hotKeys_;
    HeadlessPanels panels_;
    HeadlessAlerts alerts_;
    HeadlessApplicationEvents applicationEvents_;
};

} // namespace

std::unique_ptr<Desktop> makeHeadlessDesktop(DesktopIdentity identity)
{
    return std::make_unique<HeadlessDesktop>(std::move(identity));
}

std::unique_ptr<Desktop> makeHeadlessDesktop()
{
    return makeHeadlessDesktop(ownDesktopIdentity());
}

} // namespace platform
