// The status item and its menu on a live session's tray.
#pragma once

#include "platform/linux/desktop/status_bar_headless.h"
#include "platform/linux/desktop/headless_state.h"
#include "platform/linux/desktop/live/bus_connection.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LiveStatusBar : public HeadlessStatusBar {
public:
    LiveStatusBar(HeadlessState& state, XConnection& x, BusConnection& bus);

private:
    HeadlessState& state_;
    XConnection& x_;
    BusConnection& bus_;
};

} // namespace platform
