#include "supervision/exit.h"

#include "channel/reader.h"
#include "host/descriptor.h"
#include "host/startup.h"
#include "platform/main_queue.h"
#include "supervision/death_log.h"

#include <cstring>
#include <unistd.h>

namespace kestrune {

namespace {
nlohmann::json childExitRecord(const Termination& ended)
{
    nlohmann::json record = {
        {"kind", "child-exit"},
        {"shell", ended.pid},
        {"reason", ended.signaled ? "signal" : "exit"},
        {"status", ended.status},
    };
    if (ended.signaled) {
        if (const char* description = strsignal(ended.status))
            record["signal"] = description;
    }
    return record;
}
}

void watch(Child& shell)
{
    shell.setTerminationHandler([](Termination ended) {
        // On the waiter thread: the record first, so that it exists even if
        // the decision ends the host at once.
        if (!append(childExitRecord(ended), deathLog(ended.pid)))
            sayOnStandardError("death log unavailable");
        platform::post([ended] { decideAfter(ended); });
    });
}

void decideAfter(const Termination& ended)
{
    platform::assertOnTheMainThread("decideAfter");
    if (child && child->pid() == ended.pid)
        child->markEnded();
    // Every path below ends the host: the shell's last lines are copied
    // first (bounded, as a descendant of the shell may hold its output open).
    waitForTheEndOfTheChildsOutput(std::chrono::seconds(2));

    if (quitting)
        std::exit(0);
    if (terminating)
        std::exit(ended.signaled ? 128 + ended.status : ended.status);
    if (!ended.signaled) {
        if (ended.status == 75)
            restarts();
        std::exit(ended.status);
    }
    double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - childStartedAt).count();
    if (!hostedByItsParent && uptime >= CRASH_LOOP_SECONDS)
        restarts();
    std::exit(128 + ended.status);
}

void restarts()
{
    // The service-manager and relaunch paths come with the full supervision.
    std::exit(75);
}

} // namespace kestrune
