#include "socket/dead_socket.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrune::socket {

void removeDeadSocket(const std::string& path)
{
    struct stat info {};
    // Only a socket can be dead: a file or folder that happens to sit at the
    // path refuses connections too, and must never be deleted for that.
    if (lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return;
    if (path.size() > SOCKET_PATH_LIMIT)
        return;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        unlink(path.c_str());
    close(fd);
}

} // namespace kestrune::socket
