#include "platform/unix_socket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// The address of a path; the failure of `call` when the path is too long.
Result<sockaddr_un> addressOf(const std::string& path, const char* call)
{
    static_assert(UNIX_SOCKET_PATH_LIMIT < sizeof(sockaddr_un::sun_path));
    if (path.size() > UNIX_SOCKET_PATH_LIMIT)
        return failureBecause(call, "the socket path is longer than " + std::to_string(UNIX_SOCKET_PATH_LIMIT) + " bytes", path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// Waits for a connect that a signal interrupted: it goes on in the
// background, and its outcome is the socket's pending error.
int finishInterruptedConnect(int fd)
{
    pollfd wait{fd, POLLOUT, 0};
    while (::poll(&wait, 1, -1) < 0) {
        if (errno != EINTR)
            return errno;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        return errno;
    return error;
}

} // namespace

Result<int> connectToUnixSocket(const std::string& path)
{
    auto address = addressOf(path, "connect");
    if (!address)
        return address.failure();
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failureOf("socket", errno, path);
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) < 0)
        error = errno == EINTR ? finishInterruptedConnect(fd) : errno;
    if (error != 0) {
        ::close(fd);
        return failureOf("connect", error, path);
    }
    return fd;
}

Result<int> listenOnUnixSocket(const std::string& path, int backlog, std::optional<unsigned> fileMode)
{
    auto address = addressOf(path, "bind");
    if (!address)
        return address.failure();
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failureOf("socket", errno, path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) < 0) {
        int error = errno;
        ::close(fd);
        return failureOf("bind", error, path);
    }
    // Linux takes a socket file's mode from the umask at bind; changing the
    // socket's own descriptor would not reach the file.
    if (fileMode && ::chmod(path.c_str(), static_cast<mode_t>(*fileMode)) < 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return failureOf("chmod", error, path);
    }
    if (::listen(fd, backlog) < 0) {
        int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return failureOf("listen", error, path);
    }
    return fd;
}

Result<int> acceptConnection(int listener)
{
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno != EINTR)
            return failureOf("accept", errno);
    }
}

Result<std::size_t> sendWithoutWaiting(int fd, std::string_view bytes)
{
    for (;;) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return static_cast<std::size_t>(sent);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return std::size_t{0};
        if (errno != EINTR)
            return failureOf("send", errno);
    }
}

} // namespace platform
