// Restarting the whole application: through the system's application
// launcher, or through the service manager when the host runs as a service.
#pragma once

#include "platform/result.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {

// Settings naming a program to run in place of the built-in launcher and of
// the service manager; tests put recorders there.
inline constexpr const char* OPEN_TOOL_VARIABLE = "KESTRUNE_OPEN_TOOL";
inline constexpr const char* SERVICE_TOOL_VARIABLE = "KESTRUNE_SERVICE_TOOL";

// Starts a new instance of the application at `bundlePath` in the
// background with `arguments`, detached from this process (a new session,
// re-parented away from it). Gives the launcher's exit status (0 once the
// new instance has started); fails when it could not be started.
Result<int> openTheApplication(const std::string& bundlePath, const std::vector<std::string>& arguments);

// Asks the service manager to restart the user service `identity` (which
// ends this process) and waits for it; fails when the service manager could
// not be run.
Result<void> restartTheService(const std::string& identity);

} // namespace platform
