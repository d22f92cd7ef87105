#include "supervision/exit.h"

#include "channel/inbox.h"
#include "channel/outgoing.h"
#include "channel/reader.h"
#include "host/descriptor.h"
#include "host/startup.h"
#include "links/delivery.h"
#include "links/settings.h"
#include "platform/main_queue.h"
#include "platform/relaunch.h"
#include "socket/dead_socket.h"
#include "supervision/death_log.h"
#include "supervision/signals.h"

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

void removeTheShellsSocket()
{
    if (auto socket = runtime.find("socket"); socket != runtime.end())
        removeDeadSocket(socket->second);
}

// Replaces the ended shell with a new one inside the same host.
void swapTheShell(const Termination& ended)
{
    swapping = true;

    // Links that fail on the closing inbox go back into `waiting` (swapping
    // is set); the ones that were already waiting come after them.
    std::deque<WaitingLink> takenAside;
    takenAside.swap(waiting);
    if (input)
        input->close();
    for (auto& link : takenAside)
        waiting.push_back(std::move(link));

    removeTheShellsSocket();

    auto made = makeChild();
    child = std::move(made.child);
    input = std::move(made.input);
    childHearsReopen = false;
    listen(*child);
    watch(*child);
    if (auto error = child->launch()) {
        sayOnStandardError(*error);
        leave(71);
    }
    childStartedAt = std::chrono::steady_clock::now();
    swapping = false;

    tellTheChildTheFront();

    tellTheChildTheFront();

    const pid_t shell = child->pid();
    append({{"kind", "shell-swapped"},
            {"from", ended.pid},
            {"to", shell},
            {"waiting", waiting.size()},
            {"asked", ended.signaled && ended.status == SHELL_SWAP_SIGNAL ? "shell-sighup" : "launcher-sighup"}},
           deathLog(shell));

    std::deque<WaitingLink> due;
    due.swap(waiting);
    for (const auto& link : due)
        write(link.url, link.source, link.received, false);
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

    // Panels of the shell close with it: with the panel host.

    const bool swapSignal = ended.signaled && ended.status == SHELL_SWAP_SIGNAL;
    if ((swapping || swapSignal) && !terminating) {
        swapTheShell(ended);
        return;
    }

    cancelTheStopSignals();
    if (input)
        input->close();
    // The get-URL handler goes with the URL receiver.
    removeTheShellsSocket();

    if (quitting) {
        std::vector<pid_t> targets = quitTargets;
        auto more = descendants(getpid());
        targets.insert(targets.end(), more.begin(), more.end());
        killAll(targets);
        leave(0);
    }
    if (terminating)
        leave(ended.signaled ? 128 + ended.status : ended.status);
    if (!ended.signaled) {
        if (ended.status == 75)
            restarts();
        leave(ended.status);
    }
    double uptime = std::chrono::duration<double>(std::chrono::steady_clock::now() - childStartedAt).count();
    if (!hostedByItsParent && uptime >= CRASH_LOOP_SECONDS)
        restarts();
    leave(128 + ended.status);
}

void restarts()
{
    std::vector<std::string> arguments = commandLine;
    for (const auto& argument : commandLine) {
        if (argument == "--witness-wrapper") {
            arguments.push_back("--restart-witness-after");
            break;
        }
    }

    const char* service = std::getenv("XPC_SERVICE_NAME");
    if (service && service == identity) {
        // The service manager restarts the host's own service and, doing so,
        // ends this process first.
        signal(SIGTERM, SIG_DFL);
        if (auto error = platform::restartTheService(identity))
            sayOnStandardError("kickstart failed: " + *error);
        leave(75);
    }

    auto opened = platform::openTheApplication(bundle.path(), arguments);
    if (auto* error = std::get_if<std::string>(&opened)) {
        sayOnStandardError(*error);
        leave(71);
    }
    leave(std::get<int>(opened));
}

} // namespace kestrune
