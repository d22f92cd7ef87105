#include "overlays/window_location.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kestrune::overlays {

std::optional<int32_t> int32ValueOf(const nlohmann::json& number)
{
    if (number.is_number_integer())
        return static_cast<int32_t>(number.is_number_unsigned() ? static_cast<int64_t>(number.get<uint64_t>())
                                                                : number.get<int64_t>());
    if (!number.is_number_float())
        return std::nullopt;
    double value = number.get<double>();
    // A number's 32-bit value truncates towards zero; beyond 64 bits there is
    // none to speak of.
    if (!std::isfinite(value) || std::fabs(value) >= 9.2e18)
        return std::nullopt;
    return static_cast<int32_t>(static_cast<int64_t>(value));
}

std::optional<platform::Rect> frontWindowIn(const std::vector<nlohmann::json>& windows, pid_t pid)
{
    for (const auto& window : windows) {
        if (!window.is_object())
            continue;
        auto owner = window.find(platform::WINDOW_OWNER_PID);
        if (owner == window.end() || !owner->is_number())
            continue;
        auto ownerPid = int32ValueOf(*owner);
        if (!ownerPid || *ownerPid != pid)
            continue;
        auto layer = window.find(platform::WINDOW_LAYER);
        if (layer == window.end() || !layer->is_number() || layer->get<double>() != 0)
            continue;
        auto bounds = window.find(platform::WINDOW_BOUNDS);
        if (bounds == window.end())
            continue;
        auto rect = platform::rectFromBounds(*bounds);
        if (!rect || !(rect->width > 0) || !(rect->height > 0))
            continue;
        return rect;
    }
    return std::nullopt;
}

std::optional<platform::Rect> frontWindowOf(pid_t pid)
{
    auto windows = platform::windowServer().onScreenWindows();
    if (!windows)
        return std::nullopt;
    return frontWindowIn(*windows, pid);
}

platform::Rect badgeFrame(const platform::Rect& window)
{
    double width = std::min(window.width, badgeSize.width);
    double height = std::min(window.height, badgeSize.height);
    double room = window.height - height;
    double x = window.x + (window.width - width) / 2;
    double y = window.y + std::min(std::max(room, 0.0), badgeTopInset);
    return {x, y, width, height};
}

namespace {
nlohmann::json number(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return static_cast<int64_t>(value);
    return value;
}
}

nlohmann::json rectRow(const std::optional<platform::Rect>& rect)
{
    if (!rect)
        return nullptr;
    return {{"x", number(rect->x)}, {"y", number(rect->y)}, {"width", number(rect->width)}, {"height", number(rect->height)}};
}

} // namespace kestrune::overlays
