// The window server: the on-screen window list, the screens, the mouse and
// display reconfiguration (CoreGraphics, NSScreen, NSEvent's mouse location).
#pragma once

#include "platform/desktop/values.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace platform {

// A display. `frame` and `visibleFrame` are in screen coordinates: points,
// origin at the lower-left corner of the first screen, y growing upwards.
struct Screen {
    uint32_t display = 0;     // the display's id
    Rect frame;
    Rect visibleFrame;        // without the menu bar
    bool operator==(const Screen&) const = default;
};

// Keys of a window description, as the window server names them.
inline constexpr const char* WINDOW_NUMBER = "kCGWindowNumber";
inline constexpr const char* WINDOW_OWNER_PID = "kCGWindowOwnerPID";
inline constexpr const char* WINDOW_OWNER_NAME = "kCGWindowOwnerName";
inline constexpr const char* WINDOW_LAYER = "kCGWindowLayer";
inline constexpr const char* WINDOW_BOUNDS = "kCGWindowBounds";   // {"X","Y","Width","Height"}

// Flags of a display reconfiguration (CGDisplayChangeSummaryFlags).
inline constexpr uint32_t DISPLAY_BEGIN_CONFIGURATION_FLAG = 1 << 0;
inline constexpr uint32_t DISPLAY_MOVED_FLAG = 1 << 1;
inline constexpr uint32_t DISPLAY_SET_MAIN_FLAG = 1 << 2;
inline constexpr uint32_t DISPLAY_SET_MODE_FLAG = 1 << 3;
inline constexpr uint32_t DISPLAY_ADD_FLAG = 1 << 4;
inline constexpr uint32_t DISPLAY_REMOVE_FLAG = 1 << 5;
inline constexpr uint32_t DISPLAY_ENABLED_FLAG = 1 << 8;
inline constexpr uint32_t DISPLAY_DISABLED_FLAG = 1 << 9;
inline constexpr uint32_t DISPLAY_DESKTOP_SHAPE_CHANGED_FLAG = 1 << 12;

using DisplayReconfigurationHandler = std::function<void(uint32_t display, uint32_t flags)>;

// A bounds dictionary turned into a rectangle; nothing when it is not one.
std::optional<Rect> rectFromBounds(const nlohmann::json& bounds);
// The bounds dictionary of a rectangle.
nlohmann::json boundsOf(const Rect& rect);

// Every call is made on the main thread; the handler runs on the main queue.
class WindowServer {
public:
    virtual ~WindowServer() = default;

    // The on-screen windows without desktop elements, front to back, each a
    // dictionary with the keys above; nothing when the window server gives
    // no list.
    virtual std::optional<std::vector<nlohmann::json>> onScreenWindows() = 0;
    // The status-window level.
    virtual int statusWindowLevel() = 0;
    // The screens; the first one holds the menu bar and the origin.
    virtual std::vector<Screen> screens() = 0;
    // The mouse location in screen coordinates.
    virtual Point mouseLocation() = 0;
    // Replaces the display reconfiguration callback (nullptr removes it). It
    // runs once per affected display, first with the begin flag, then with
    // what changed.
    virtual void setDisplayReconfigurationHandler(DisplayReconfigurationHandler handler) = 0;
};

// The window server of this process's desktop (see platform/desktop.h).
WindowServer& windowServer();

} // namespace platform
