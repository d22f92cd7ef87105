// The workspace of a live X11 session.
#pragma once

#include "platform/linux/desktop/workspace_headless.h"
#include "platform/linux/desktop/live/x_connection.h"

namespace platform {

class LiveWorkspace : public HeadlessWorkspace {
public:
    LiveWorkspace(HeadlessState& state, XConnection& x);

private:
    XConnection& x_;
};

} // namespace platform
