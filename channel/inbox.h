// The shell's inbox: the host's end of the shell's standard input. It queues
// whole messages, writes them without ever blocking the main thread, and
// tells each sender whether its message reached the pipe.
#pragma once

#include "platform/main_queue.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestrune::channel {

// The most bytes an inbox holds for a shell that does not read.
inline constexpr std::int64_t CHILD_INBOX_LIMIT = 1048576;

class ChildInbox : public std::enable_shared_from_this<ChildInbox> {
public:
    // Called exactly once, on the main thread: nothing when the last byte
    // reached the pipe, else the failure text ("child-not-reading",
    // "closed", or the system's text for the write error).
    using Settled = std::function<void(const std::optional<std::string>& failure)>;

    // Takes ownership of `fd`, the write end of the shell's standard input,
    // and makes it non-blocking.
    static std::shared_ptr<ChildInbox> on(int fd);
    ~ChildInbox();
    ChildInbox(const ChildInbox&) = delete;
    ChildInbox& operator=(const ChildInbox&) = delete;

    // Queues one framed message. True when it was queued and the inbox did
    // not fail during this call's own write attempt.
    bool send(std::string bytes, Settled settled = {});

    // Settles every queued message with "closed", refuses later ones, and
    // closes the descriptor. A second call does nothing.
    void close();

    std::int64_t held() const { return held_; }
    const std::optional<std::string>& failure() const { return failure_; }
    bool watching() const { return watching_; }

private:
    explicit ChildInbox(int fd);
    struct Row {
        std::string bytes;
        std::size_t sent = 0;
        Settled settled;
    };
    void drain();
    void settleTheWritten();
    void watch();
    void giveUp(const std::string& text);

    // The most rows one write call takes.
    static constexpr int WRITTEN_AT_ONCE = 256;

    int fd_;
    std::deque<Row> rows_;
    std::deque<Row> written_;   // completely written, not yet settled
    bool draining_ = false;
    std::int64_t held_ = 0;
    std::optional<std::string> failure_;
    std::unique_ptr<platform::DescriptorWatch> waker_;
    bool watching_ = false;
};

} // namespace kestrune::channel
