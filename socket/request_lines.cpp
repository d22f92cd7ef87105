#include "socket/request_lines.h"

namespace kestrune::socket {

namespace {
// An unfinished line above this keeps its buffer only while it lasts: an
// idle connection should not hold the room of its longest line for ever.
constexpr std::size_t KEPT_CAPACITY = 4096;
}

bool RequestLines::take(std::string_view bytes, const std::function<void(std::string_view line)>& line)
{
    if (overflowed_)
        return false;
    while (!bytes.empty()) {
        std::size_t feed = bytes.find('\n');
        std::size_t length = feed == std::string_view::npos ? bytes.size() : feed;
        if (pending_.size() + length > limit_) {
            overflowed_ = true;
            std::string().swap(pending_);
            return false;
        }
        if (feed == std::string_view::npos) {
            pending_.append(bytes);
            return true;
        }
        // Most lines arrive whole in one read: they are taken where they lie.
        if (pending_.empty()) {
            line(bytes.substr(0, feed));
        } else {
            pending_.append(bytes.data(), feed);
            line(pending_);
            if (pending_.capacity() > KEPT_CAPACITY)
                std::string().swap(pending_);
            else
                pending_.clear();
        }
        bytes.remove_prefix(feed + 1);
    }
    return true;
}

} // namespace kestrune::socket
