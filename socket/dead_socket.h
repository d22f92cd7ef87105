#pragma once

#include <string>

namespace kestrune::socket {

// Unix socket paths longer than this many bytes work on neither system.
inline constexpr std::size_t SOCKET_PATH_LIMIT = 103;

// Removes the socket at `path` when nobody listens on it. Anything that is
// not a socket is left alone.
void removeDeadSocket(const std::string& path);

} // namespace kestrune::socket
