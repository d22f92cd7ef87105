#include "platform/linux/desktop/live/status_bar_live.h"

namespace platform {

LiveStatusBar::LiveStatusBar(HeadlessState& state, XConnection& x, BusConnection& bus)
    : state_(state), x_(x), bus_(bus)
{
}

} // namespace platform
