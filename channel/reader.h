// The reader of what the shell writes on its standard output: it cuts the
// bytes into lines, hands the lines that are messages for the host to their
// owners, and copies every other line to the host's own standard output.
#pragma once

#include "channel/routes.h"
#include "platform/child_process.h"
#include "platform/thread_clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <sys/uio.h>
#include <vector>

namespace simdjson::dom {
class parser;
class object;
}

namespace kestrune::channel {

// A line longer than this is no message: it is passed through to standard
// output as it arrives instead of being held whole.
inline constexpr std::size_t LONGEST_CHILD_MESSAGE = 16 * 1024 * 1024;

// How far one reader has come, shared between the reader's thread and the
// thread that waits at the end of its shell for the last lines to be out.
class ReaderProgress {
public:
    // How long a reader that waits for bytes is waited for, and how long a
    // busy reader that makes no progress: a line it cannot get through, or
    // copies the host's output does not take.
    static constexpr auto OUTPUT_IDLE = std::chrono::milliseconds(500);
    static constexpr auto CONSUMER_STALL = std::chrono::seconds(5);

    ReaderProgress();
    // Called on the reader's thread before it reads: while it is busy, the
    // processor time that thread spends counts as progress too, since one
    // long line may take seconds to parse on a loaded machine.
    void onTheReadersThread();
    // A read brought bytes, a line was parsed, or the host's output took some.
    void progressed();
    // The reader works on bytes it has read (routes, parses, copies them)
    // rather than waiting for more.
    void busy(bool working) { busy_ = working; }
    // Whether the end of the shell, `waited` after it began to wait, should
    // still wait: while the reader reads, for OUTPUT_IDLE without bytes;
    // while it is busy, for as long as it makes progress at least every
    // CONSUMER_STALL, however long the whole takes.
    bool stillDraining(std::chrono::steady_clock::duration waited);
    // The reader's copies are no longer wanted: it writes nothing more.
    void giveUp() { givenUp_ = true; }
    bool givenUp() const { return givenUp_; }

private:
    std::atomic<std::int64_t> lastProgress_;   // steady clock, nanoseconds
    std::atomic<bool> busy_{false};
    std::optional<platform::ThreadClock> readersClock_;
    std::atomic<bool> clocked_{false};           // readersClock_ is set
    std::atomic<std::int64_t> readersTime_{0};   // its processor time at the last look, nanoseconds
    std::atomic<bool> givenUp_{false};
};

// The state of one reader: the bytes of the line not yet ended by a line
// feed, and where copied lines and requests go.
class ChildOutput {
public:
    using Dispatch = std::function<void(ChildRequests&& requests)>;

    // Copies unconsumed lines to `copyTo` (-1: nowhere) and hands each
    // read's requests, in line order, to `dispatch`.
    ChildOutput(int copyTo, Dispatch dispatch, std::size_t longestMessage = LONGEST_CHILD_MESSAGE);
    ~ChildOutput();
    ChildOutput(const ChildOutput&) = delete;
    ChildOutput& operator=(const ChildOutput&) = delete;

    // Where the next read puts its bytes.
    std::span<char> readSpace();
    // Takes `count` bytes just read into readSpace(): every line they end is
    // routed, and the copies are written before this returns.
    void received(std::size_t count);
    // The same for bytes from elsewhere (tests, benchmarks).
    void take(std::string_view bytes);
    // The end of the shell's output. A partial last line held as a possible
    // message is dropped; one already passed through is ended with a line
    // feed, so that no later shell's line is joined to it.
    void ended();

    // Where the reader reports its progress; may be null.
    void reportProgressTo(std::shared_ptr<ReaderProgress> progress) { progress_ = std::move(progress); }
    ReaderProgress* progress() const { return progress_.get(); }

    // The bytes after the last line feed.
    std::string_view pending() const { return {data_.get(), size_}; }

private:
    void route(std::size_t start, std::size_t end);
    bool routeMessage(const char* line, std::size_t length);
    bool routed(const char* line, std::size_t length, const simdjson::dom::object& message);
    void handOver();
    void copy(std::size_t start, std::size_t end);
    void writeTheCopies();
    void reserve(std::size_t room);

    int copyTo_;
    Dispatch dispatch_;
    std::size_t longestMessage_;
    // `pending`: the partial line at the front, then the latest read; always
    // followed by the parser's padding.
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t scanned_ = 0;      // no line feed before this offset
    bool passingThrough_ = false;  // the current line cannot be a message: it is copied as it comes
    std::size_t leadingSpaces_ = 0;   // white space known at the start of the unended line
    std::unique_ptr<simdjson::dom::parser> parser_;
    std::vector<iovec> copies_;
    ChildRequests requests_;
    std::shared_ptr<ReaderProgress> progress_;
};

// What a link reply says: the URL, where focus should go ("focus", when a
// string) and the panel the shell keeps open ("panel", when an integer that
// fits 32 bits).
struct UrlReply {
    std::string url;
    std::optional<std::string> focus;
    std::optional<int32_t> panel;
};

// Reads a line the reader routed as a link reply; nothing for any other line.
std::optional<UrlReply> urlReplyOf(std::string_view line);

// Installs the output reader on a shell that is not launched yet. It runs on
// a thread of its own from the launch until the end of the shell's output.
// A shell that is not piped writes straight to the host's output: nothing to
// install.
void listen(platform::ChildProcess& shell);

// Reads `fd` to its end through `output`, then closes it.
void readTheChildsOutput(int fd, ChildOutput& output);

} // namespace kestrune::channel
