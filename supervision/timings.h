// How long supervision waits: for a crash loop, for a shell asked to end,
// for a new root. The defaults are the product's; tests set shorter ones
// through the host's own environment instead of waiting them out.
#pragma once

#include "platform/process.h"

#include <chrono>
#include <string>

namespace kestrune::supervision {

struct Timings {
    std::chrono::milliseconds crashLoop{10000};       // a shell that ran this long is restarted
    std::chrono::milliseconds grace{5000};            // for a shell asked to end
    std::chrono::milliseconds hostedGrace{2800};      // the same when hosted by the parent
    std::chrono::milliseconds lostParentGrace{3000};  // for the shell once the parent is gone
    std::chrono::milliseconds rootWaitTick{1000};     // between looks for a new root
    std::chrono::milliseconds sessionCheck{1000};     // between looks at a remote client's connection
};

// The variables only tests set, one per member: KESTRUNE_TEST_<WHAT>_MS.
inline constexpr const char* CRASH_LOOP_VARIABLE = "KESTRUNE_TEST_CRASH_LOOP_MS";
inline constexpr const char* GRACE_VARIABLE = "KESTRUNE_TEST_GRACE_MS";
inline constexpr const char* HOSTED_GRACE_VARIABLE = "KESTRUNE_TEST_HOSTED_GRACE_MS";
inline constexpr const char* LOST_PARENT_GRACE_VARIABLE = "KESTRUNE_TEST_LOST_PARENT_GRACE_MS";
inline constexpr const char* ROOT_WAIT_TICK_VARIABLE = "KESTRUNE_TEST_ROOT_WAIT_TICK_MS";
inline constexpr const char* SESSION_CHECK_VARIABLE = "KESTRUNE_TEST_SESSION_CHECK_MS";

// A value is decimal milliseconds from 1 to an hour; anything else keeps
// the default.
inline constexpr long long TIMING_LIMIT_MS = 3600LL * 1000;

// The defaults, with each variable of `environment` that holds a good value.
Timings timingsFrom(const platform::Environment& environment);

// True for a variable of the host's timings (KESTRUNE_TEST_..._MS): it is
// the host's own and never reaches the shell.
bool isATimingVariable(const std::string& name);

} // namespace kestrune::supervision
