#include "channel/inbox.h"

#include "platform/process.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace kestrune {

std::shared_ptr<ChildInbox> ChildInbox::on(int fd)
{
    return std::shared_ptr<ChildInbox>(new ChildInbox(fd));
}

ChildInbox::ChildInbox(int fd)
    : fd_(fd)
{
    // Never block the main thread on a slow shell. A write after the shell
    // closed its end fails with EPIPE: the host ignores SIGPIPE process-wide
    // (Linux has no per-descriptor switch for it).
    platform::markNonBlocking(fd_);
}

ChildInbox::~ChildInbox()
{
    waker_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool ChildInbox::send(std::string bytes, Settled settled)
{
    platform::assertOnTheMainThread("ChildInbox::send");
    if (failure_) {
        if (settled)
            settled(failure_);
        return false;
    }
    auto size = static_cast<std::int64_t>(bytes.size());
    if (held_ + size > CHILD_INBOX_LIMIT) {
        if (settled)
            settled(std::string("child-not-reading"));
        return false;
    }
    rows_.push_back(Row{std::move(bytes), 0, std::move(settled)});
    held_ += size;
    // While the waker waits for room the pipe was full at the last write: a
    // write now would only fail again. The waker writes this row in turn.
    if (watching_)
        return true;
    // The drain may settle rows whose callbacks drop the last other owner.
    auto keep = shared_from_this();
    drain();
    return !failure_;
}

void ChildInbox::drain()
{
    for (;;) {
        if (rows_.empty()) {
            if (watching_) {
                watching_ = false;
                waker_.reset();
            }
            return;
        }
        Row& row = rows_.front();
        ssize_t wrote = 0;
        if (row.sent < row.bytes.size())
            wrote = ::write(fd_, row.bytes.data() + row.sent, row.bytes.size() - row.sent);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch();
                return;
            }
            giveUp(std::strerror(errno));
            return;
        }
        row.sent += static_cast<std::size_t>(wrote);
        if (row.sent == row.bytes.size()) {
            Row done = std::move(row);
            rows_.pop_front();
            held_ -= static_cast<std::int64_t>(done.bytes.size());
            if (done.settled)
                done.settled(std::nullopt);
        }
    }
}

void ChildInbox::watch()
{
    if (watching_)
        return;
    watching_ = true;
    std::weak_ptr<ChildInbox> weak = weak_from_this();
    waker_ = platform::whenWritable(fd_, [weak] {
        if (auto inbox = weak.lock())
            inbox->drain();
    });
}

void ChildInbox::giveUp(const std::string& text)
{
    failure_ = text;
    if (watching_) {
        watching_ = false;
        waker_.reset();
    }
    std::deque<Row> taken;
    taken.swap(rows_);
    held_ = 0;
    for (auto& row : taken) {
        if (row.settled)
            row.settled(text);
    }
}

void ChildInbox::close()
{
    platform::assertOnTheMainThread("ChildInbox::close");
    if (failure_ && *failure_ == "closed")
        return;
    auto keep = shared_from_this();
    giveUp("closed");
    // The waker is gone before the descriptor is: nothing waits on a closed
    // (and possibly reused) descriptor number.
    waker_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace kestrune
