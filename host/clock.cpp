#include "host/clock.h"

#include <cstdio>
#include <ctime>

namespace kestrune {

std::string Clock::stamp(std::chrono::system_clock::time_point moment) const
{
    using namespace std::chrono;
    auto milliseconds = floor<std::chrono::milliseconds>(moment);
    auto seconds = floor<std::chrono::seconds>(milliseconds);
    std::time_t whole = system_clock::to_time_t(seconds);
    std::tm utc {};
    gmtime_r(&whole, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>((milliseconds - seconds).count()));
    return text;
}

} // namespace kestrune
