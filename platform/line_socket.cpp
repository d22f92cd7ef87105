#include "platform/line_socket.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/socket.h>

namespace platform {

namespace {

// What poll() takes for the time left until `deadline`: -1 for none.
int millisecondsUntil(LineSocket::Clock::time_point deadline)
{
    if (deadline == LineSocket::Clock::time_point::max())
        return -1;
    auto now = LineSocket::Clock::now();
    if (deadline <= now)
        return 0;
    // Rounded up, so that a wait never ends just short of its deadline.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left > INT_MAX ? INT_MAX : int(left);
}

// Waits until `fd` is ready for `events`; false when the deadline came first.
bool waitFor(int fd, short events, LineSocket::Clock::time_point deadline)
{
    for (;;) {
        int timeout = millisecondsUntil(deadline);
        if (timeout == 0)
            return false;
        pollfd wait{fd, events, 0};
        int ready = ::poll(&wait, 1, timeout);
        if (ready > 0)
            return true;
        // Interrupted, or woken early: the deadline decides.
        if (ready < 0 && errno != EINTR)
            return true;   // the read or write that follows says what is wrong
    }
}

} // namespace

LineSocket::LineSocket(int fd, std::size_t limit)
    : fd_(fd)
    , limit_(limit)
{
}

LineSocket::Read LineSocket::readLine(std::string& line, Clock::time_point deadline)
{
    for (;;) {
        if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
            bool skipped = skipping_;
            skipping_ = false;
            if (!skipped) {
                line.assign(buffer_, 0, newline);
                buffer_.erase(0, newline + 1);
                return Read::line;
            }
            buffer_.erase(0, newline + 1);
            continue;
        }
        if (skipping_) {
            buffer_.clear();
        } else if (buffer_.size() > limit_) {
            line = std::move(buffer_);
            buffer_.clear();
            skipping_ = true;
            return Read::tooLong;
        }
        if (Read outcome = fill(deadline); outcome != Read::line)
            return outcome;
    }
}

LineSocket::Read LineSocket::fill(Clock::time_point deadline)
{
    char chunk[65536];
    for (;;) {
        ssize_t got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0) {
            buffer_.append(chunk, std::size_t(got));
            return Read::line;
        }
        if (got == 0)
            return Read::closed;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error_ = errno;
            return Read::failed;
        }
        if (!waitFor(fd_, POLLIN, deadline))
            return Read::timedOut;
    }
}

LineSocket::Write LineSocket::write(std::string_view bytes, Clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            done += std::size_t(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd_, POLLOUT, deadline))
                return Write::stalled;
            continue;
        }
        error_ = wrote < 0 ? errno : EPIPE;
        return Write::failed;
    }
    return Write::written;
}

} // namespace platform
