// The framing of the host socket: a byte stream cut into request lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune::socket {

// The longest request line, without its line feed. The longest request
// (a URL at its limit) is about half of it; a peer whose line grows past it
// is not sending requests, and holding its bytes would let it grow the host.
inline constexpr std::size_t REQUEST_LINE_LIMIT = 65536;

// Request lines out of the bytes of one connection, however the reads cut
// them: the same bytes give the same lines in any chunks.
class RequestLines {
public:
    explicit RequestLines(std::size_t limit = REQUEST_LINE_LIMIT)
        : limit_(limit)
    {
    }

    // Takes the next bytes of the stream and calls `line` with each line they
    // complete, in order, without its line feed. False at the first line
    // longer than the limit, finished or not: no line is taken from there
    // on, now or in later calls, as the stream can no longer be framed.
    bool take(std::string_view bytes, const std::function<void(std::string_view line)>& line);

    // The bytes of the unfinished line so far.
    std::size_t pendingBytes() const { return pending_.size(); }
    bool overflowed() const { return overflowed_; }

private:
    std::string pending_;
    std::size_t limit_;
    bool overflowed_ = false;
};

} // namespace kestrune::socket
