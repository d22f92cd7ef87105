// The shell's end: the termination handler, the decision on the main queue,
// swaps and restarts.
#pragma once

#include "supervision/launch.h"

#include <vector>

namespace kestrune {

inline constexpr double CRASH_LOOP_SECONDS = 10.0;
inline constexpr int SHELL_SWAP_SIGNAL = SIGHUP;
inline bool swapping = false;
inline bool terminating = false;
inline bool quitting = false;
inline std::vector<pid_t> quitTargets;

// Installs the termination handler on a shell that is not launched yet.
void watch(Child& shell);

// What the host does on the main queue once shell `ended` has ended.
void decideAfter(const Termination& ended);

// Restarts the whole host: through the service manager when the host runs as
// its own service, else through the relaunch tool. Never returns.
[[noreturn]] void restarts();

} // namespace kestrune
