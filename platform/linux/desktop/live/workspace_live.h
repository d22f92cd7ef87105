// The workspace of a live X11 session, as the window manager publishes it:
// an application is a process with managed windows (_NET_WM_PID), named by
// its desktop entry or its window class; the one in front owns the active
// window. Changes of the root's properties bring the notifications:
// activations, launches and terminations as processes gain their first
// window or lose their last, hiding when all of an application's windows
// are hidden. The host itself always runs.
//
// Without a window manager (none yet, or one that died or restarts) no
// application is in front and only the host runs; the workspace says so
// once and takes up the window manager's lists again when one names itself
// on the root. Without the X connection, the headless workspace.
#pragma once

#include "platform/linux/desktop/live/ewmh_windows.h"
#include "platform/linux/desktop/live/x_connection.h"
#include "platform/desktop/headless/workspace_headless.h"

#include <map>
#include <set>

namespace platform {

class LiveWorkspace : public HeadlessWorkspace {
public:
    LiveWorkspace(HeadlessState& state, XConnection& x);

    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplications() override;
    std::optional<RunningApplication> runningApplication(pid_t pid) override;
    std::vector<RunningApplication> runningApplications(const std::string& bundleIdentifier) override;
    bool activate(pid_t pid) override;
    bool openURL(const std::string& url) override;
    void setActivationPolicy(ActivationPolicy policy) override;
    bool isActive() override;
    void activateIgnoringOtherApps() override;

private:
    struct Application {
        RunningApplication description;
        uint64_t order = 0;   // when it was first seen
    };

    // True while the X connection serves; false sends a call to the base.
    bool live();
    // Reads the window manager's lists and tells what changed since the
    // last reading; `quietly` learns the applications without telling.
    void refresh(bool quietly = false);
    void refreshSoon();
    // A change that came as an event: refreshes at once if one is owed.
    void catchUp();
    void windowManagerLost();
    void propertyChanged(const xcb_property_notify_event_t& event);
    // The application a window's owner is, from its windows' descriptions.
    RunningApplication describe(pid_t pid) const;
    // The application with this process id as the workspace has it now.
    std::optional<RunningApplication> applicationOf(pid_t pid) const;
    // The topmost managed window of a process; 0 when it has none.
    xcb_window_t topWindowOf(pid_t pid) const;
    // Asks the window manager to activate a window, as a pager does.
    void requestActivation(xcb_window_t window);

    XConnection& x_;
    bool windowManager_ = false;
    xcb_window_t checkWindow_ = 0;
    bool saidNoWindowManager_ = false;
    bool refreshOwed_ = false;
    bool learned_ = false;
    bool everManaged_ = false;
    // The managed windows, bottom to top, and what they said of themselves.
    std::vector<xcb_window_t> stacking_;
    std::map<xcb_window_t, ClientWindow> windows_;
    // Windows whose state changed since they were read.
    std::set<xcb_window_t> changed_;
    // The other applications, by process id.
    std::map<pid_t, Application> applications_;
    uint64_t nextOrder_ = 0;
    std::optional<pid_t> front_;
    xcb_window_t activeWindow_ = 0;
};

} // namespace platform
