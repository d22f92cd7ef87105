#include "platform/desktop.h"

namespace platform {

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

Desktop& desktop()
{
    static std::unique_ptr<Desktop> chosen = makeHeadlessDesktop();
    return *chosen;
}

} // namespace platform
