// The desktop server: one simulated desktop session, shared by every host,
// application and client connected to its socket.
#pragma once

#include <optional>
#include <string>

namespace desktop {

struct ServeOptions {
    std::string socketPath;
    std::optional<std::string> sessionFile;   // a session to load before listening
};

// Listens until SIGTERM, SIGINT or a "shutdown" request; the exit status.
int serve(const ServeOptions& options);

} // namespace desktop
