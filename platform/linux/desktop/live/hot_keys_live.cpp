#include "platform/linux/desktop/live/hot_keys_live.h"

namespace platform {

LiveHotKeys::LiveHotKeys(XConnection& x)
    : x_(x)
{
}

} // namespace platform
