// The processor time one thread has spent, readable from any thread: how a
// waiter tells a thread that works from one that only waits.
#pragma once

#include <chrono>
#include <optional>

namespace platform {

class ThreadClock {
public:
    // The clock of the calling thread; nullopt where the system keeps none.
    static std::optional<ThreadClock> ofTheCallingThread();

    // The processor time the thread has spent so far; nullopt once it ended.
    std::optional<std::chrono::nanoseconds> spent() const;

private:
    explicit ThreadClock(long long handle) : handle_(handle) {}
    long long handle_;
};

} // namespace platform
