#include "platform/thread_clock.h"

#include <pthread.h>
#include <time.h>

namespace platform {

std::optional<ThreadClock> ThreadClock::ofTheCallingThread()
{
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0)
        return std::nullopt;
    return ThreadClock(static_cast<long long>(clock));
}

std::optional<std::chrono::nanoseconds> ThreadClock::spent() const
{
    timespec spent{};
    if (clock_gettime(static_cast<clockid_t>(handle_), &spent) != 0)
        return std::nullopt;
    return std::chrono::seconds(spent.tv_sec) + std::chrono::nanoseconds(spent.tv_nsec);
}

} // namespace platform
