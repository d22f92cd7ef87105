// The host's one entry point: the start-up sequence and its command-line
// modes.
#pragma once

#include <string>

namespace kestrune::host {

// Writes "runtime is unavailable: " and `message` to standard error in one
// write and exits with status 66.
[[noreturn]] void unavailable(const std::string& message);

// Runs the start-up sequence and then the main loop. Never returns.
[[noreturn]] void startUp(int argc, char** argv);

} // namespace kestrune::host
