#include "platform/linux/desktop/live/panels_live.h"

namespace platform {

LivePanels::LivePanels(XConnection& x)
    : x_(x)
{
}

} // namespace platform
