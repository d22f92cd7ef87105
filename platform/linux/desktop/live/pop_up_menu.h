// A menu popped up by the host on a live session: a window of our own under
// the mouse, drawn with cairo, that holds the pointer and the keyboard until
// an item is picked or the menu is dismissed. Modal, as the pop-up is on
// macOS: the main queue waits until it closes.
#pragma once

#include "platform/desktop/status_bar.h"
#include "platform/linux/desktop/live/x_connection.h"

#include <optional>
#include <vector>

namespace platform {

// Shows `menu` at `location` (screen coordinates) and returns the index path
// of the item picked; nothing when the menu was dismissed or could not be
// shown.
std::optional<std::vector<int>> popUpMenuWindow(XConnection& x, const Menu& menu, Point location);

} // namespace platform
