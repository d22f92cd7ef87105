#include "platform/clock.h"

#include <cstdio>

namespace platform {

// UTC by calendar arithmetic alone: the C library's converters consult the
// time-zone database on first use, which costs a file read at start-up.
std::string Clock::stamp(std::chrono::system_clock::time_point moment) const
{
    using namespace std::chrono;
    auto milliseconds = floor<std::chrono::milliseconds>(moment);
    auto day = floor<days>(milliseconds);
    year_month_day date{day};
    hh_mm_ss time{milliseconds - day};
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text;
}

} // namespace platform
