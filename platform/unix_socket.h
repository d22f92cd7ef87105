// Unix stream sockets named by a path: how the host, the desktop server, its
// client and the tests reach one another.
#pragma once

#include "platform/result.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The longest socket path accepted, in bytes: the smallest limit among the
// systems the host runs on, so that a path works on every one or on none.
inline constexpr std::size_t UNIX_SOCKET_PATH_LIMIT = 103;

// A blocking stream socket connected to the listener at `path`, closed on
// exec. A path over the limit fails before any system call.
Result<int> connectToUnixSocket(const std::string& path);

// A stream socket bound at `path` and listening with `backlog`, closed on
// exec. A file already at the path makes it fail (bind's EADDRINUSE). With
// `fileMode`, the socket file has that mode before anyone can connect: the
// mode is set between bind and listen, while connecting is still refused.
Result<int> listenOnUnixSocket(const std::string& path, int backlog, std::optional<unsigned> fileMode = std::nullopt);

// One connection waiting on `listener`, as a non-blocking descriptor closed
// on exec. When none waits, the failure carries EAGAIN.
Result<int> acceptConnection(int listener);

// Sends what the socket takes of `bytes` now, without waiting: the count
// sent, 0 when its buffer is full. A peer that has gone makes it fail with
// EPIPE (or ECONNRESET), never with the SIGPIPE a plain write raises.
Result<std::size_t> sendWithoutWaiting(int fd, std::string_view bytes);

} // namespace platform
