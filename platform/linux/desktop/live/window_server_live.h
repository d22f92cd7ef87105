// The window server of a live X11 session: the managed windows in the
// window manager's stacking order (and the override-redirect windows of
// processes that name themselves), the monitors RandR knows, the pointer,
// and RandR's screen changes as display reconfigurations.
//
// Coordinates follow the host's: window bounds from the top-left corner of
// the first screen, y down; screens and the mouse from its lower-left
// corner, y up; one point per pixel. The first screen is the primary
// monitor. Without the X connection, the headless window server.
#pragma once

#include "platform/linux/desktop/live/x_connection.h"
#include "platform/desktop/headless/window_server_headless.h"

#include <memory>

namespace platform {

class LiveWindowServer : public HeadlessWindowServer {
public:
    explicit LiveWindowServer(XConnection& x);

    std::optional<std::vector<nlohmann::json>> onScreenWindows() override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;

private:
    // A monitor in root coordinates (pixels, y down).
    struct Monitor {
        uint32_t display = 0;
        Rect frame;
        bool primary = false;
    };

    bool live();
    // The monitors, the primary one first; the root alone when RandR names none.
    std::vector<Monitor> monitors();
    // The work area of the current desktop in root coordinates, if published.
    std::optional<Rect> workArea();
    // The screens changed: the handler hears which, as the system tells it.
    void screensChanged();

    XConnection& x_;
    uint8_t randrEvents_ = 0;
    bool randr_ = false;
    bool monitorsRequest_ = false;   // RandR 1.5's monitors
    bool changeOwed_ = false;
    std::vector<Screen> last_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

} // namespace platform
