// Badges: a short text flashed over another application's front window.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::overlays {

struct Badge {
    int32_t pid = 0;
    std::string text;
    int64_t ms = 600;
};

inline const std::string badgePlanFlag = "--badge-plan";

// The badge a message asks for: {"badge":{"pid":P,"text":T,"ms":M}} with P
// above 0; nothing when the message is no badge request. Reads only its
// argument, so any thread may call it.
std::optional<Badge> badgeOf(const nlohmann::json& message);

// The "--badge-plan" mode: where the badge of the single argument would go;
// exits.
[[noreturn]] void runTheBadgePlan(const std::vector<std::string>& commandLine);

} // namespace kestrune::overlays
