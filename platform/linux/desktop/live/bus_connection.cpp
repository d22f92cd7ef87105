#include "platform/linux/desktop/live/bus_connection.h"

#include "platform/standard_error.h"

#include <poll.h>
#include <time.h>

#include <cstring>

namespace platform {

Result<std::unique_ptr<BusConnection>> BusConnection::open()
{
    sd_bus* bus = nullptr;
    if (int error = sd_bus_open_user(&bus); error < 0)
        return failureOf("sd_bus_open_user", -error);
    std::unique_ptr<BusConnection> made(new BusConnection(bus));
    // The hello round trip: a bus named in the environment that nobody
    // serves fails here, not at the first call.
    const char* unique = nullptr;
    if (int error = sd_bus_get_unique_name(bus, &unique); error < 0)
        return failureOf("sd_bus_get_unique_name", -error);
    made->watch_ = std::make_unique<TwoWayWatch>(
        sd_bus_get_fd(bus), [raw = made.get()] { raw->settle(); }, [raw = made.get()] { raw->settle(); });
    made->settle();
    return made;
}

BusConnection::BusConnection(sd_bus* bus)
    : bus_(bus)
{
}

BusConnection::~BusConnection()
{
    timer_.reset();
    watch_.reset();
    sd_bus_flush_close_unref(bus_);
}

std::string BusConnection::uniqueName() const
{
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || !unique)
        return {};
    return unique;
}

void BusConnection::whenGone(std::function<void()> work)
{
    goneHandlers_.push_back(std::move(work));
}

void BusConnection::settle()
{
    // A handler that sends calls settle() again from inside sd_bus_process;
    // the outer loop picks its work up.
    if (gone_ || settling_)
        return;
    settling_ = true;
    for (;;) {
        int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0) {
            settling_ = false;
            dropBecause(-processed);
            return;
        }
        if (processed == 0)
            break;
    }
    settling_ = false;
    if (!sd_bus_is_open(bus_)) {
        dropBecause(ECONNRESET);
        return;
    }
    arm();
}

void BusConnection::arm()
{
    int events = sd_bus_get_events(bus_);
    if (events < 0) {
        dropBecause(-events);
        return;
    }
    if (events & POLLOUT)
        watch_->waitToWrite();
    else
        watch_->stopWaitingToWrite();
    uint64_t wakeAt = 0;
    timer_.reset();
    if (sd_bus_get_timeout(bus_, &wakeAt) >= 0 && wakeAt != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t nowUs = uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
        auto delay = std::chrono::microseconds(wakeAt > nowUs ? wakeAt - nowUs : 0);
        timer_ = after(delay, [this] { settle(); });
    }
}

void BusConnection::dropBecause(int error)
{
    if (gone_)
        return;
    gone_ = true;
    timer_.reset();
    watch_.reset();
    sayOnStandardError(std::string("live desktop: the session bus went away (") + std::strerror(error)
                       + "); the status item goes on headless");
    auto handlers = std::move(goneHandlers_);
    for (auto& work : handlers)
        work();
}

} // namespace platform
