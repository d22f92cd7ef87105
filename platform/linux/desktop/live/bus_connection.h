// The live desktop's connection to the session bus (sd-bus), driven from the
// main queue through its one descriptor and its timeout: no second loop and
// no thread. Whoever sends or adds objects calls settle() afterwards so that
// the bus's wishes (write, wake up at a time) are waited for.
//
// A bus that goes away is dropped for good: the connection says so once on
// standard error and runs its gone handlers.
#pragma once

#include "platform/main_queue.h"
#include "platform/result.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <vector>

namespace platform {

class BusConnection {
public:
    // Connects to the session bus the environment names.
    static Result<std::unique_ptr<BusConnection>> open();
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    sd_bus* bus() const { return bus_; }
    // Our unique name on the bus (":1.42").
    std::string uniqueName() const;

    // Work to do when the bus goes away.
    void whenGone(std::function<void()> work);
    bool gone() const { return gone_; }

    // Processes what the bus has for us, then waits for what it asks next.
    void settle();

private:
    explicit BusConnection(sd_bus* bus);
    void arm();
    void dropBecause(int error);

    sd_bus* bus_;
    bool gone_ = false;
    bool settling_ = false;
    std::unique_ptr<TwoWayWatch> watch_;
    std::unique_ptr<Timer> timer_;
    std::vector<std::function<void()>> goneHandlers_;
};

} // namespace platform
