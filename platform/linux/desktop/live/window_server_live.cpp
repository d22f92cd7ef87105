#include "platform/linux/desktop/live/window_server_live.h"

namespace platform {

LiveWindowServer::LiveWindowServer(XConnection& x)
    : x_(x)
{
}

} // namespace platform
