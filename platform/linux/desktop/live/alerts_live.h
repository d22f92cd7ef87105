// Alerts of a live X11 session: a dialog window of our own, named after the
// application, that comes to the front with the keyboard's focus and holds
// the main queue until a button is chosen, as a modal alert does on macOS.
// Return chooses the first button; Escape or closing the window chooses
// "Cancel" (or the last button). Without the X connection, or when it
// breaks meanwhile, the alert is answered as the headless one is.
#pragma once

#include "platform/desktop.h"
#include "platform/desktop/headless/alerts_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

#include <string>
#include <vector>

namespace platform {

class LiveAlerts : public HeadlessAlerts {
public:
    LiveAlerts(XConnection& x, const DesktopIdentity& identity);

    int runModalAlert(const Alert& alert) override;

private:
    struct Shown;

    // The button Escape and closing the window choose.
    static int cancelButtonOf(const std::vector<std::string>& buttons);
    void draw(Shown& shown);
    Shown* shownWith(xcb_window_t window);

    XConnection& x_;
    std::string name_;
    // The alerts on screen, the innermost last (an alert may run while
    // another one waits).
    std::vector<Shown*> shown_;
};

} // namespace platform
