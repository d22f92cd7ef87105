// The host socket: a local stream socket through which the process that
// hosts the menu sends requests (socket/requests.h). Each connection is a
// stream of request lines, each answered by one reply line, in order.
#pragma once

#include "platform/main_queue.h"
#include "platform/result.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace kestrune::socket {

inline constexpr int HOST_SOCKET_BACKLOG = 8;
// The most bytes read from a connection at a time: one busy peer cannot hold
// the main loop for long, as each read's lines are answered before the next.
inline constexpr std::size_t READ_AT_ONCE = 4096;
// The most reply bytes a connection may leave unread. Replies are never
// written by waiting on the peer; one that lets more than this pile up is
// not reading them and is disconnected.
inline constexpr std::size_t UNSENT_REPLY_LIMIT = 1024 * 1024;
// The most connections at once; one more is accepted and closed at once.
// The menu's one hosting parent needs a few; the bound caps what peers can
// make the host hold.
inline constexpr std::size_t HOST_CONNECTION_LIMIT = 256;

class HostConnection;

// A socket listening at a path and its open connections, on the main thread.
class HostListener {
public:
    // Listens at `path`: creates its folder when missing (open to the owner
    // only), removes a socket there that nobody listens on, and binds a
    // socket file that only the owner may connect to. Fails, creating
    // nothing, for a path longer than UNIX_SOCKET_PATH_LIMIT bytes, and when
    // anything else is at the path, a live socket included.
    static platform::Result<std::unique_ptr<HostListener>> listen(const std::string& path);

    // Closes every connection and the socket; the file stays, and the next
    // listener at the path removes it as dead.
    ~HostListener();
    HostListener(const HostListener&) = delete;
    HostListener& operator=(const HostListener&) = delete;

    const std::string& path() const { return path_; }
    std::size_t connectionCount() const;
    // The bytes held for all connections: unfinished request lines and
    // replies not yet taken by their peers.
    std::size_t heldBytes() const;

private:
    HostListener(std::string path, int fd);
    void acceptWaiting();
    void forget(int fd);

    friend class HostConnection;
    std::string path_;
    int fd_;
    std::unique_ptr<platform::DescriptorWatch> watch_;
    std::map<int, std::shared_ptr<HostConnection>> connections_;
};

// Start-up, at the shell's first drawing in hosted mode: the host's one
// listener at `path`. True when it listens; a call once it listens changes
// nothing and returns true. On the main thread.
bool listenForTheHost(const std::string& path);

// Whether the host's listener exists.
bool listeningForTheHost();

} // namespace kestrune::socket
