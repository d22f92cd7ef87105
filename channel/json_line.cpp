#include "channel/json_line.h"

namespace kestrune {

std::string jsonLine(const nlohmann::json& object)
{
    try {
        return object.dump();   // std::map keys: sorted
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

std::optional<std::string> compactUnsorted(const Message& message)
{
    try {
        return message.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace kestrune
