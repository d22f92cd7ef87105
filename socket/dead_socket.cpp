#include "socket/dead_socket.h"

#include "platform/files.h"
#include "platform/unix_socket.h"

#include <cerrno>
#include <unistd.h>

namespace kestrune::socket {

void removeDeadSocket(const std::string& path)
{
    // Only a socket can be dead: a file or folder that happens to sit at the
    // path refuses connections too, and must never be deleted for that.
    if (!platform::isSocket(path))
        return;
    auto connected = platform::connectToUnixSocket(path);
    if (connected) {
        close(*connected);
        return;
    }
    // A path too long to reach is no proof that nobody listens.
    if (connected.failure().error == ECONNREFUSED)
        platform::removeFile(path);
}

} // namespace kestrune::socket
