// Where another application's front window is, and where a badge goes on it.
#pragma once

#include "platform/desktop/window_server.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace kestrune::overlays {

struct Size {
    double width = 0, height = 0;
};

inline constexpr Size badgeSize{150, 34};
inline constexpr double badgeTopInset = 52;

// The 32-bit integer value of a JSON number (truncated); nothing for a value
// that is not a number.
std::optional<int32_t> int32ValueOf(const nlohmann::json& number);

// The bounds of the front-most on-screen ordinary window (layer 0, with a
// positive size) of `pid`, in the window server's coordinates.
std::optional<platform::Rect> frontWindowOf(pid_t pid);

// The same, over a given window list (front to back).
std::optional<platform::Rect> frontWindowIn(const std::vector<nlohmann::json>& windows, pid_t pid);

// The badge's rectangle on a window: centred, its top 52 points below the
// window's top, resting on the bottom edge of a window too short for that.
platform::Rect badgeFrame(const platform::Rect& window);

// {"x","y","width","height"}, or null for no rectangle. Whole numbers are
// written without a fraction.
nlohmann::json rectRow(const std::optional<platform::Rect>& rect);

} // namespace kestrune::overlays
