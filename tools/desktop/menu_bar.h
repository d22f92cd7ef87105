// The menu bar's geometry, shared by the status bar (which stands the
// status items in it) and the picture (which draws them where they stand).
#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

namespace desktop {

// The height of the menu bar at the top of the first screen.
inline constexpr double MENU_BAR_HEIGHT = 24;
// The room the clock keeps at the right end of the menu bar.
inline constexpr double MENU_BAR_CLOCK_WIDTH = 100;

// The width a status item takes in the menu bar: a symbol's square, or
// its title's.
inline double statusItemWidth(const nlohmann::json& state)
{
    const nlohmann::json* button = state.is_object() && state.contains("button") ? &state["button"] : nullptr;
    bool hasImage = button && button->is_object() && button->contains("image") && !(*button)["image"].is_null();
    std::string title;
    if (button && button->is_object() && button->contains("title") && (*button)["title"].is_string())
        title = (*button)["title"].get<std::string>();
    return hasImage ? 24 : std::max(24.0, double(title.size()) * 7 + 12);
}

} // namespace desktop
