#include "socket/listener.h"

#include "platform/files.h"
#include "platform/process.h"
#include "platform/unix_socket.h"
#include "socket/dead_socket.h"
#include "socket/request_lines.h"
#include "socket/requests.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <unistd.h>

namespace kestrune::socket {

namespace {
// The socket file's mode: a socket is reached by whoever may write to it.
constexpr unsigned SOCKET_FILE_MODE = 0600;
// The most connections taken from the backlog per readiness, so that peers
// connecting without end cannot hold the main loop.
constexpr int ACCEPTED_AT_ONCE = 64;
// An unsent-reply buffer above this is let go once it empties.
constexpr std::size_t KEPT_REPLY_CAPACITY = 64 * 1024;
}

// One accepted connection: its descriptor, the unfinished request line, the
// replies its peer has not taken yet, and the watch that drives it.
class HostConnection : public std::enable_shared_from_this<HostConnection> {
public:
    HostConnection(int fd, HostListener& listener)
        : fd_(fd)
        , listener_(listener)
    {
    }
    ~HostConnection() { close(); }
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    // Starts watching the descriptor. The handlers hold the connection only
    // weakly, and keep it alive while they run even when it closes there.
    void start()
    {
        std::weak_ptr<HostConnection> weak = weak_from_this();
        watch_ = std::make_unique<platform::TwoWayWatch>(
            fd_,
            [weak] {
                if (auto self = weak.lock())
                    self->hostReady();
            },
            [weak] {
                if (auto self = weak.lock())
                    self->flush();
            });
    }

    // Reads what the peer sent, answers every line it completes, and sends
    // the replies.
    void hostReady()
    {
        platform::assertOnTheMainThread("HostConnection::hostReady");
        if (fd_ < 0 || readEnded_)
            return;
        char buffer[READ_AT_ONCE];
        ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            finish();
            return;
        }
        if (got == 0) {
            // The peer sent all it will; an unfinished line gets no answer.
            // Replies already made still go out, then the connection closes.
            readEnded_ = true;
            if (unsentBytes() == 0)
                finish();
            return;
        }
        bool framed = pending_.take(std::string_view(buffer, static_cast<std::size_t>(got)), [this](std::string_view line) {
            if (fd_ >= 0)
                queueReply(replyLine(answer(line)));
        });
        if (fd_ < 0)
            return;
        flush();
        // A line that outgrows its limit is no request; answering it would
        // mean holding it whole, and what follows cannot be framed.
        if (!framed)
            finish();
        // Bytes left after a full read make the watch fire again at once,
        // after whatever else waits on the main queue.
    }

    // Sends what the peer takes of the unsent replies, and waits to send the
    // rest when its socket is full.
    void flush()
    {
        platform::assertOnTheMainThread("HostConnection::flush");
        if (fd_ < 0)
            return;
        while (sentFrom_ < unsent_.size()) {
            auto sent = platform::sendWithoutWaiting(fd_, std::string_view(unsent_).substr(sentFrom_));
            if (!sent) {
                finish();
                return;
            }
            if (*sent == 0) {
                watch_->waitToWrite();
                return;
            }
            sentFrom_ += *sent;
        }
        unsent_.clear();
        sentFrom_ = 0;
        if (unsent_.capacity() > KEPT_REPLY_CAPACITY)
            std::string().swap(unsent_);
        watch_->stopWaitingToWrite();
        if (readEnded_)
            finish();
    }

    std::size_t heldBytes() const { return pending_.pendingBytes() + unsentBytes(); }

private:
    std::size_t unsentBytes() const { return unsent_.size() - sentFrom_; }

    void queueReply(const std::string& reply)
    {
        if (sentFrom_ > 0 && sentFrom_ >= unsent_.size() / 2) {
            unsent_.erase(0, sentFrom_);
            sentFrom_ = 0;
        }
        unsent_ += reply;
        if (unsentBytes() <= UNSENT_REPLY_LIMIT)
            return;
        flush();
        if (fd_ >= 0 && unsentBytes() > UNSENT_REPLY_LIMIT)
            finish();
    }

    void close()
    {
        // The watch goes before the descriptor: nothing may wait on a
        // closed descriptor number, which the next accept may reuse.
        watch_.reset();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Closes the connection and has the listener forget it; unanswered and
    // unsent bytes are dropped.
    void finish()
    {
        int fd = fd_;
        close();
        std::string().swap(unsent_);
        sentFrom_ = 0;
        if (fd >= 0)
            listener_.forget(fd);
    }

    int fd_;
    HostListener& listener_;
    RequestLines pending_;
    std::string unsent_;
    std::size_t sentFrom_ = 0;
    bool readEnded_ = false;
    std::unique_ptr<platform::TwoWayWatch> watch_;
};

platform::Result<std::unique_ptr<HostListener>> HostListener::listen(const std::string& path)
{
    platform::assertOnTheMainThread("HostListener::listen");
    // Refused before anything is made: a path the socket cannot have must
    // not leave a folder behind either.
    if (path.size() > platform::UNIX_SOCKET_PATH_LIMIT)
        return platform::failureBecause(
            "bind", "the socket path is longer than " + std::to_string(platform::UNIX_SOCKET_PATH_LIMIT) + " bytes", path);
    // A folder that fails to appear makes bind fail below.
    platform::makePrivateFolder(platform::deletingLastComponent(path));
    removeDeadSocket(path);
    auto fd = platform::listenOnUnixSocket(path, HOST_SOCKET_BACKLOG, SOCKET_FILE_MODE);
    if (!fd)
        return fd.failure();
    // A peer that connects and gives up before the accept must not leave
    // the main thread blocked in accept.
    platform::markNonBlocking(*fd);
    return std::unique_ptr<HostListener>(new HostListener(path, *fd));
}

HostListener::HostListener(std::string path, int fd)
    : path_(std::move(path))
    , fd_(fd)
{
    watch_ = platform::whenReadable(fd_, [this] { acceptWaiting(); });
}

HostListener::~HostListener()
{
    platform::assertOnTheMainThread("HostListener::~HostListener");
    watch_.reset();
    // A connection's handler may still hold it; it closes here all the same.
    auto connections = std::move(connections_);
    connections.clear();
    ::close(fd_);
}

std::size_t HostListener::connectionCount() const
{
    platform::assertOnTheMainThread("HostListener::connectionCount");
    return connections_.size();
}

std::size_t HostListener::heldBytes() const
{
    platform::assertOnTheMainThread("HostListener::heldBytes");
    std::size_t held = 0;
    for (const auto& [fd, connection] : connections_)
        held += connection->heldBytes();
    return held;
}

void HostListener::acceptWaiting()
{
    platform::assertOnTheMainThread("HostListener::acceptWaiting");
    // A bounded number at a time: the watch fires again while more wait.
    for (int taken = 0; taken < ACCEPTED_AT_ONCE; ++taken) {
        auto accepted = platform::acceptConnection(fd_);
        if (!accepted) {
            // A peer that gave up while waiting is simply gone; any other
            // failure is tried again at the next readiness.
            if (accepted.failure().error == ECONNABORTED)
                continue;
            return;
        }
        if (connections_.size() >= HOST_CONNECTION_LIMIT) {
            ::close(*accepted);
            continue;
        }
        auto connection = std::make_shared<HostConnection>(*accepted, *this);
        connections_[*accepted] = connection;
        connection->start();
    }
}

void HostListener::forget(int fd)
{
    connections_.erase(fd);
}

namespace {
// Never destroyed: the host may leave from any thread, and the socket stays
// open until the process ends.
HostListener* theListener = nullptr;
}

bool listenForTheHost(const std::string& path)
{
    platform::assertOnTheMainThread("listenForTheHost");
    if (theListener)
        return true;
    auto listener = HostListener::listen(path);
    if (!listener)
        return false;
    theListener = listener->release();
    return true;
}

bool listeningForTheHost()
{
    platform::assertOnTheMainThread("listeningForTheHost");
    return theListener != nullptr;
}

} // namespace kestrune::socket
