// The host's one entry point: the start-up sequence and its command-line
// modes.
#pragma once

#include "platform/bundle.h"
#include "platform/standard_error.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune {

inline platform::Bundle bundle;
inline pid_t bornUnder = 0;
inline std::vector<std::string> commandLine;   // the arguments after the program path

// Writes "runtime is unavailable: " and `message` to standard error in one
// write and exits with status 66.
[[noreturn]] void unavailable(const std::string& message);

// Ends the host with `status`. Standard streams are flushed; nothing else
// runs, so a thread still at work (a reader, a waiter) never meets a
// half-destroyed process.
[[noreturn]] void leave(int status);

using platform::sayOnStandardError;

// Runs the start-up sequence and then the main loop. Never returns.
[[noreturn]] void startUp(int argc, char** argv);

} // namespace kestrune
