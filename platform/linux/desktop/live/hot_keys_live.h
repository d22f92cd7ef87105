// Global hot keys of a live X11 session.
#pragma once

#include "platform/linux/desktop/hot_keys_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LiveHotKeys : public HeadlessHotKeys {
public:
    LiveHotKeys(XConnection& x);

private:
    XConnection& x_;
};

} // namespace platform
