// Alerts of a live X11 session.
#pragma once

#include "platform/linux/desktop/alerts_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LiveAlerts : public HeadlessAlerts {
public:
    LiveAlerts(XConnection& x);

private:
    XConnection& x_;
};

} // namespace platform
