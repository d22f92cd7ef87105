// The host's one time-stamp formatter: ISO 8601 internet date and time in UTC
// with milliseconds, 2025-01-31T12:34:56.789Z. Every "at" value of every log
// record and file is written by it.
#pragma once

#include <chrono>
#include <string>

namespace platform {

class Clock {
public:
    std::string stamp(std::chrono::system_clock::time_point moment) const;
    std::string now() const { return stamp(std::chrono::system_clock::now()); }
};

inline const Clock clock;

} // namespace platform
