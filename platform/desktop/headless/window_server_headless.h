// The window server of a session with nobody at it: one screen, no window,
// the mouse in the middle, displays that never change.
#pragma once

#include "platform/desktop/window_server.h"

namespace platform {

// The one screen of a session with nobody at it.
Screen headlessScreen();

class HeadlessWindowServer : public WindowServer {
public:
    std::optional<std::vector<nlohmann::json>> onScreenWindows() override;
    int statusWindowLevel() override;
    std::vector<Screen> screens() override;
    Point mouseLocation() override;
    void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) override;

protected:
    // Tells the handler, if any, that a display changed.
    void deliverDisplayChange(uint32_t display, uint32_t flags);

private:
    DisplayReconfigurationHandler displayHandler_;
};

} // namespace platform
