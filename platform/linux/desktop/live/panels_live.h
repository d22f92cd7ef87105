// Panels (badges) of a live X11 session.
#pragma once

#include "platform/linux/desktop/panels_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LivePanels : public HeadlessPanels {
public:
    LivePanels(XConnection& x);

private:
    XConnection& x_;
};

} // namespace platform
