// Unix stream sockets named by a path: how the host, the desktop server, its
// client and the tests reach one another.
#pragma once

#include "platform/result.h"

#include <cstddef>
#include <string>

namespace platform {

// The longest socket path accepted, in bytes: the smallest limit among the
// systems the host runs on, so that a path works on every one or on none.
inline constexpr std::size_t UNIX_SOCKET_PATH_LIMIT = 103;

// A blocking stream socket connected to the listener at `path`, closed on
// exec. A path over the limit fails before any system call.
Result<int> connectToUnixSocket(const std::string& path);

// A stream socket bound at `path` and listening with `backlog`, closed on
// exec. A file already at the path makes it fail (bind's EADDRINUSE).
Result<int> listenOnUnixSocket(const std::string& path, int backlog);

} // namespace platform
