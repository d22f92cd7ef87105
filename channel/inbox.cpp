#include "channel/inbox.h"

#include "platform/process.h"

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <sys/uio.h>
#include <unistd.h>

namespace kestrune::channel {

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
    // A message sent from a settled callback below is queued behind the
    // rows being written; this drain writes it in turn.
    if (draining_)
        return;
    draining_ = true;
    for (;;) {
        if (failure_)
            break;
        if (rows_.empty()) {
            if (watching_) {
                watching_ = false;
                waker_.reset();
            }
            break;
        }
        // Queued rows go in one call, in order, each resumed where it
        // stopped: a shell that reads in bursts costs one write per burst,
        // not one per message.
        iovec parts[WRITTEN_AT_ONCE];
        int count = 0;
        for (auto row = rows_.begin(); row != rows_.end() && count < WRITTEN_AT_ONCE; ++row)
            parts[count++] = iovec{row->bytes.data() + row->sent, row->bytes.size() - row->sent};
        ssize_t wrote = ::writev(fd_, parts, count);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                watch();
                break;
            }
            giveUp(std::strerror(errno));
            break;
        }
        // Every row whose last byte went is done before any callback runs,
        // so a callback that closes the inbox fails only unwritten rows.
        auto left = static_cast<std::size_t>(wrote);
        while (!rows_.empty()) {
            Row& row = rows_.front();
            std::size_t taken = std::min(left, row.bytes.size() - row.sent);
            row.sent += taken;
            left -= taken;
            if (row.sent < row.bytes.size())
                break;
            held_ -= static_cast<std::int64_t>(row.bytes.size());
            written_.push_back(std::move(row));
            rows_.pop_front();
        }
        settleTheWritten();
        // A descriptor that takes nothing without an error: wait until it
        // can take bytes rather than ask again at once.
        if (wrote == 0 && !failure_ && !rows_.empty() && rows_.front().sent < rows_.front().bytes.size()) {
            watch();
            break;
        }
    }
    draining_ = false;
}

void ChildInbox::settleTheWritten()
{
    while (!written_.empty()) {
        Row done = std::move(written_.front());
        written_.pop_front();
        if (done.settled)
            done.settled(std::nullopt);
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
    // Rows already written are settled as written, before the failed ones.
    settleTheWritten();
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

} // namespace kestrune::channel
