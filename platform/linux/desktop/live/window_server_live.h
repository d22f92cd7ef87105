// The window server of a live X11 session.
#pragma once

#include "platform/linux/desktop/window_server_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LiveWindowServer : public HeadlessWindowServer {
public:
    LiveWindowServer(XConnection& x);

private:
    XConnection& x_;
};

} // namespace platform
