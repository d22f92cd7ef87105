#include "platform/json_line.h"

namespace platform {

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
