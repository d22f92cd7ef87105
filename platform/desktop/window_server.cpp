#include "platform/desktop/window_server.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <utility>

namespace platform {

namespace {
// A number as the window server writes it: whole values without a fraction.
nlohmann::json numberJson(double value)
{
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.0e15)
        return int64_t(value);
    return value;
}
}

std::optional<Rect> rectFromBounds(const nlohmann::json& bounds)
{
    if (!bounds.is_object())
        return std::nullopt;
    Rect rect;
    const std::pair<const char*, double*> members[] = {
        {"X", &rect.x}, {"Y", &rect.y}, {"Width", &rect.width}, {"Height", &rect.height}};
    for (auto [key, target] : members) {
        auto found = bounds.find(key);
        if (found == bounds.end() || !found->is_number())
            return std::nullopt;
        *target = found->get<double>();
    }
    return rect;
}

nlohmann::json boundsOf(const Rect& rect)
{
    return {{"X", numberJson(rect.x)}, {"Y", numberJson(rect.y)}, {"Width", numberJson(rect.width)},
            {"Height", numberJson(rect.height)}};
}

} // namespace platform
