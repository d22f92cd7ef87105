#include "overlays/badge.h"

#include "platform/json_line.h"
#include "overlays/window_location.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include "platform/exit.h"

#include <cstdio>

namespace kestrune::overlays {

std::optional<Badge> badgeOf(const nlohmann::json& message)
{
    if (!message.is_object())
        return std::nullopt;
    auto request = message.find("badge");
    if (request == message.end() || !request->is_object())
        return std::nullopt;
    auto pid = request->find("pid");
    if (pid == request->end())
        return std::nullopt;
    auto pidValue = int32ValueOf(*pid);
    if (!pidValue || *pidValue <= 0)
        return std::nullopt;
    Badge badge;
    badge.pid = *pidValue;
    if (auto text = request->find("text"); text != request->end() && text->is_string())
        badge.text = text->get<std::string>();
    if (auto ms = request->find("ms"); ms != request->end() && ms->is_number()) {
        if (ms->is_number_integer())
            badge.ms = ms->is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(ms->get<uint64_t>(), INT64_MAX))
                                                : ms->get<int64_t>();
        else {
            double value = ms->get<double>();
            // The integer value of the number; beyond what a time can say it
            // is clamped rather than left undefined.
            badge.ms = std::isfinite(value) ? static_cast<int64_t>(std::clamp(value, -9.2e18, 9.2e18)) : 600;
        }
    }
    return badge;
}

void runTheBadgePlan(const std::vector<std::string>& commandLine)
{
    std::optional<Badge> badge;
    if (commandLine.size() == 2) {
        nlohmann::json request = nlohmann::json::parse(commandLine[1], nullptr, /*allow_exceptions=*/false);
        if (request.is_object())
            badge = badgeOf(request);
    }
    if (!badge) {
        std::string usage = "usage: " + badgePlanFlag + " '{\"badge\":{\"pid\":<pid>,\"text\":<text>,\"ms\":<ms>}}'\n";
        std::fwrite(usage.data(), 1, usage.size(), stderr);
        platform::leave(platform::EXIT_MISUSED);
    }
    auto window = frontWindowOf(badge->pid);
    nlohmann::json plan = {
        {"badge", window.has_value()},
        {"frame", window ? rectRow(badgeFrame(*window)) : nlohmann::json(nullptr)},
        {"ignoresMouseEvents", true},
        {"ms", badge->ms},
        {"nonactivating", true},
        {"pid", badge->pid},
        {"window", rectRow(window)},
    };
    std::string line = platform::jsonLine(plan) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    platform::leave(platform::EXIT_DONE);
}

} // namespace kestrune::overlays
