// The login item command: "--login on|off|status".
#pragma once

#include "platform/bundle.h"

#include <string>
#include <vector>

namespace kestrune {

// Registers, unregisters or reports the bundle's launch agents as login
// items, prints one JSON line and exits.
[[noreturn]] void runTheLoginCommand(const platform::Bundle& bundle, const std::vector<std::string>& commandLine);

} // namespace kestrune
