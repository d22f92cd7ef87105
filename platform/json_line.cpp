#include "platform/json_line.h"

namespace platform {

std::optional<nlohmann::json> objectWithin(std::string_view text, int depthLimit)
{
    struct TooDeep {};
    auto depthGuard = [depthLimit](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start)
            && depth >= depthLimit)
            throw TooDeep{};
        return true;
    };
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(text, depthGuard, /*allow_exceptions=*/false);
    } catch (const TooDeep&) {
        return std::nullopt;
    }
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
}

std::string jsonLine(const nlohmann::json& object)
{
    try {
        return object.dump();   // std::map keys: sorted
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

std::optional<std::string> compactUnsorted(const nlohmann::ordered_json& message)
{
    try {
        return message.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace platform
