// Sockets that outlived their listener.
#pragma once

#include <string>

namespace kestrune::socket {

// Removes the socket at `path` when nobody listens on it. Anything that is
// not a socket is left alone.
void removeDeadSocket(const std::string& path);

} // namespace kestrune::socket
