// The timings of the shell's supervision, handed to the supervisor once at
// start-up so that tests may shorten them.
#pragma once

#include <chrono>

namespace kestrune::supervision {

struct Timings {
    std::chrono::milliseconds crashLoop{10000};        // a shell that dies sooner after launch is not restarted
    std::chrono::milliseconds grace{5000};             // SIGTERM to SIGKILL for the shell
    std::chrono::milliseconds hostedGrace{2800};       // the same when hosted by its parent
    std::chrono::milliseconds lostParentGrace{3000};   // from a lost parent's SIGTERMs to SIGKILL
    std::chrono::milliseconds rootWaitTick{1000};      // how often awaiting-root.json is read
};

} // namespace kestrune::supervision
