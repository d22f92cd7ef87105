#include "platform/linux/desktop/live/workspace_live.h"

namespace platform {

LiveWorkspace::LiveWorkspace(HeadlessState& state, XConnection& x)
    : HeadlessWorkspace(state), x_(x)
{
}

} // namespace platform
