#include "platform/linux/desktop/live/alerts_live.h"

namespace platform {

LiveAlerts::LiveAlerts(XConnection& x)
    : x_(x)
{
}

} // namespace platform
