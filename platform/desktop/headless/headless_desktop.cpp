// The headless desktop: a session with nobody at it. No other application
// runs, no window is on screen, hot keys register and are never pressed,
// alerts are answered with their first button, and the host's own state is
// kept so that what the host reads back is what it set.
#include "platform/desktop.h"

#include "platform/desktop/headless/alerts_headless.h"
#include "platform/desktop/headless/application_events_headless.h"
#include "platform/desktop/headless/headless_state.h"
#include "platform/desktop/headless/hot_keys_headless.h"
#include "platform/desktop/headless/panels_headless.h"
#include "platform/desktop/headless/status_bar_headless.h"
#include "platform/desktop/headless/window_server_headless.h"
#include "platform/desktop/headless/workspace_headless.h"

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
