#include "supervision/root.h"

#include "platform/files.h"
#include "supervision/supervisor.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>

namespace kestrune::supervision {

std::string rootWaitFileOf(const std::string& identity)
{
    return platform::appendingComponent(platform::appendingComponent(platform::applicationSupportFolder(), identity),
                                        "awaiting-root.json");
}

void watchTheParent(pid_t bornUnder)
{
    theSupervisor().watchTheParent(bornUnder);
}

std::optional<pid_t> adopterIn(const std::string& text, pid_t me)
{
    nlohmann::json file = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!file.is_object())
        return std::nullopt;
    auto pid = file.find("pid");
    auto root = file.find("root");
    if (pid == file.end() || !pid->is_number_integer() || root == file.end() || !root->is_number_integer())
        return std::nullopt;
    if (pid->is_number_unsigned() ? pid->get<uint64_t>() != static_cast<uint64_t>(me) : pid->get<int64_t>() != me)
        return std::nullopt;
    // A root must be a real process id: at least 2 and within pid_t.
    if (root->is_number_unsigned() ? root->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<pid_t>::max())
                                   : (root->get<int64_t>() < 2 || root->get<int64_t>() > std::numeric_limits<pid_t>::max()))
        return std::nullopt;
    auto value = static_cast<pid_t>(root->is_number_unsigned() ? static_cast<int64_t>(root->get<uint64_t>()) : root->get<int64_t>());
    if (value < 2)
        return std::nullopt;
    return value;
}

} // namespace kestrune::supervision
