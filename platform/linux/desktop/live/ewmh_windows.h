// What the window manager publishes about the session's windows (the EWMH
// properties on the root and on each client window), read in batches: every
// request of a batch goes out before the first reply is awaited, so a list
// of a hundred windows costs one round trip, not a hundred. A window that
// disappears between the list and the reading simply reads as gone.
#pragma once

#include "platform/linux/desktop/live/x_connection.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

// One client window as its owner and the window manager describe it.
struct ClientWindow {
    xcb_window_t window = 0;
    bool exists = false;          // false: gone before it could be read
    pid_t pid = 0;                // _NET_WM_PID; 0 when not set
    std::string instance;         // WM_CLASS, its two parts
    std::string windowClass;
    std::string title;            // _NET_WM_NAME, else WM_NAME
    std::string desktopId;        // _GTK_APPLICATION_ID or _KDE_NET_WM_DESKTOP_FILE, without ".desktop"
    bool hidden = false;          // _NET_WM_STATE_HIDDEN
    bool above = false;           // _NET_WM_STATE_ABOVE
    bool dock = false;            // _NET_WM_WINDOW_TYPE_DOCK
    bool desktop = false;         // _NET_WM_WINDOW_TYPE_DESKTOP
};

// The window manager's check window when one is running: the root names it
// and it names itself. Nothing when none runs (or one died and left the
// root's property behind).
std::optional<xcb_window_t> windowManagerCheckWindow(XConnection& x);

// The managed windows, bottom to top (_NET_CLIENT_LIST_STACKING, else
// _NET_CLIENT_LIST); nothing when the root has neither.
std::optional<std::vector<xcb_window_t>> clientWindows(XConnection& x);

// The window the window manager says is active; 0 when none.
xcb_window_t activeWindow(XConnection& x);

// Reads the windows' properties in one batch.
std::vector<ClientWindow> readClientWindows(XConnection& x, const std::vector<xcb_window_t>& windows);

// Adds `mask` to the events this connection selects on a window it shares
// with the other topics (the root): the mask is read first and kept.
void selectMoreEvents(XConnection& x, xcb_window_t window, uint32_t mask);

// Selects `mask` on another client's window, ignoring a window that is gone.
void selectEventsOnForeignWindow(XConnection& x, xcb_window_t window, uint32_t mask);

} // namespace platform
