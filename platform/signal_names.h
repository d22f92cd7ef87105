// Signals the host gives a meaning of its own, by what they mean rather than
// by a number that differs between systems.
#pragma once

namespace platform {

// Asks for an update check: SIGINFO where the system has it.
extern const int UPDATE_CHECK_SIGNAL;

} // namespace platform
