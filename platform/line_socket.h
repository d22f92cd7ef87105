// One end of a protocol of lines over a connected stream socket, for a
// caller that waits for its answers: whole lines written and read against a
// deadline. The served desktop, the desktop server's command-line client and
// the tests' peers of the server all read and write through it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

class LineSocket {
public:
    using Clock = std::chrono::steady_clock;

    // A line longer than this is no line of a protocol of ours.
    static constexpr std::size_t DEFAULT_LIMIT = 16 * 1024 * 1024;

    enum class Read {
        line,       // a whole line, without its newline
        tooLong,    // the first bytes of a line past the limit; the rest is skipped
        timedOut,   // no whole line by the deadline
        closed,     // the peer closed its end
        failed,     // reading failed (error() says why)
    };
    enum class Write {
        written,    // every byte
        stalled,    // the peer took no more by the deadline
        failed,     // the peer is gone (error() says why)
    };

    // Reads and writes `fd`, which stays the caller's.
    explicit LineSocket(int fd, std::size_t limit = DEFAULT_LIMIT);

    // The next line in `line`, waiting for it until `deadline`: forever with
    // Clock::time_point::max(), not at all with a deadline passed (only what
    // has arrived is read).
    Read readLine(std::string& line, Clock::time_point deadline);

    // Writes all of `bytes`, waiting for room until `deadline`.
    Write write(std::string_view bytes, Clock::time_point deadline);

    // The errno of the last read or write that failed.
    int error() const { return error_; }

private:
    // Appends what the socket gives, waiting until `deadline`.
    Read fill(Clock::time_point deadline);

    int fd_;
    std::size_t limit_;
    std::string buffer_;
    bool skipping_ = false;
    int error_ = 0;
};

} // namespace platform
