#include "supervision/timings.h"

#include <optional>
#include <string_view>

namespace kestrune::supervision {

namespace {
constexpr std::string_view TIMING_PREFIX = "KESTRUNE_TEST_";
constexpr std::string_view TIMING_SUFFIX = "_MS";

// Digits only, from 1 to TIMING_LIMIT_MS.
std::optional<std::chrono::milliseconds> millisecondsFrom(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > TIMING_LIMIT_MS)
        return std::nullopt;
    return std::chrono::milliseconds(value);
}

void read(const platform::Environment& environment, const char* name, std::chrono::milliseconds& into)
{
    auto found = environment.find(name);
    if (found == environment.end())
        return;
    if (auto value = millisecondsFrom(found->second))
        into = *value;
}
}

Timings timingsFrom(const platform::Environment& environment)
{
    Timings timings;
    read(environment, CRASH_LOOP_VARIABLE, timings.crashLoop);
    read(environment, GRACE_VARIABLE, timings.grace);
    read(environment, HOSTED_GRACE_VARIABLE, timings.hostedGrace);
    read(environment, LOST_PARENT_GRACE_VARIABLE, timings.lostParentGrace);
    read(environment, ROOT_WAIT_TICK_VARIABLE, timings.rootWaitTick);
    read(environment, SESSION_CHECK_VARIABLE, timings.sessionCheck);
    return timings;
}

bool isATimingVariable(const std::string& name)
{
    std::string_view view = name;
    return view.size() > TIMING_PREFIX.size() + TIMING_SUFFIX.size() && view.substr(0, TIMING_PREFIX.size()) == TIMING_PREFIX
        && view.substr(view.size() - TIMING_SUFFIX.size()) == TIMING_SUFFIX;
}

} // namespace kestrune::supervision
