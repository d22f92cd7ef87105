#include "supervision/exit.h"

#include "channel/inbox.h"
#include "channel/outgoing.h"
#include "platform/exit.h"
#include "platform/main_queue.h"
#include "platform/relaunch.h"
#include "platform/standard_error.h"
#include "socket/dead_socket.h"
#include "supervision/death_log.h"
#include "supervision/launch.h"
#include "supervision/signals.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
bool swapUnderWay = false;
SwapSeams seams;
std::function<void()> closesWithTheShell;

nlohmann::json childExitRecord(const platform::Termination& ended)
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


// Replaces the ended shell with a new one inside the same host.
void swapTheShell(const platform::Termination& ended)
{
    swapUnderWay = true;
    auto closeTheInbox = [] {
        if (input())
            input()->close();
    };
    if (seams.closeKeepingTheLinks)
        seams.closeKeepingTheLinks(closeTheInbox);
    else
        closeTheInbox();

    removeTheShellsSocket();

    makeTheShell();
    shellWillAnnounceReopenAnew();
    launchTheShellOrLeave();
    swapUnderWay = false;

    channel::tellTheChildTheFront();

    const pid_t shell = shellPid();
    append({{"kind", "shell-swapped"},
            {"from", ended.pid},
            {"to", shell},
            {"waiting", seams.waitingLinks ? seams.waitingLinks() : 0},
            {"asked", ended.signaled && ended.status == SHELL_SWAP_SIGNAL ? "shell-sighup" : "launcher-sighup"}},
           deathLog(shell));

    if (seams.deliverTheWaitingLinks)
        seams.deliverTheWaitingLinks();
}
}

bool swapping()
{
    return swapUnderWay;
}

void swapAsked()
{
    swapUnderWay = true;
}

void setTheSwapSeams(SwapSeams given)
{
    seams = std::move(given);
}

void removeTheShellsSocket()
{
    if (auto socket = runtimeValue("socket"))
        socket::removeDeadSocket(*socket);
}

void watch(platform::ChildProcess& shell)
{
    shell.setTerminationHandler([](platform::Termination ended) {
        // On the waiter thread: the record first, so that it exists even if
        // the decision ends the host at once.
        if (!append(childExitRecord(ended), deathLog(ended.pid)))
            platform::sayOnStandardError("death log unavailable");
        platform::post([ended] { decideAfter(ended); });
    });
}

void setWhatClosesWithTheShell(std::function<void()> close)
{
    closesWithTheShell = std::move(close);
}

void decideAfter(const platform::Termination& ended)
{
    platform::assertOnTheMainThread("decideAfter");
    if (child() && child()->pid() == ended.pid)
        child()->markEnded();

    if (closesWithTheShell)
        closesWithTheShell();

    // A quit that came while a swap was under way wins: the old shell's end
    // ends the host, and no new shell is started only to be stopped.
    const bool swapSignal = ended.signaled && ended.status == SHELL_SWAP_SIGNAL;
    if ((swapUnderWay || swapSignal) && !terminating() && !quitting()) {
        swapTheShell(ended);
        return;
    }

    cancelTheStopSignals();
    if (input())
        input()->close();
    // The get-URL handler goes with the URL receiver.
    removeTheShellsSocket();

    if (quitting())
        killAllAndLeave(everythingTheHostStarted());
    const int status = ended.signaled ? platform::EXIT_SIGNAL_BASE + ended.status : ended.status;
    if (terminating())
        platform::leave(status);
    if (!ended.signaled) {
        if (ended.status == platform::EXIT_RESTARTING)
            restarts();
        platform::leave(status);
    }
    const auto uptime = std::chrono::steady_clock::now() - childStartedAt();
    if (!hostedByItsParent() && uptime >= supervisionTimings().crashLoop)
        restarts();
    platform::leave(status);
}

void restarts()
{
    const ShellSettings& settings = shellSettings();
    std::vector<std::string> arguments = settings.commandLine;
    for (const auto& argument : settings.commandLine) {
        if (argument == "--witness-wrapper") {
            arguments.push_back("--restart-witness-after");
            break;
        }
    }

    const char* service = std::getenv("XPC_SERVICE_NAME");
    if (service && service == settings.identity) {
        // The service manager restarts the host's own service and, doing so,
        // ends this process first.
        signal(SIGTERM, SIG_DFL);
        if (auto restarted = platform::restartTheService(settings.identity); !restarted)
            platform::sayOnStandardError("kickstart failed: " + restarted.failure().description());
        platform::leave(platform::EXIT_RESTARTING);
    }

    auto opened = platform::openTheApplication(settings.bundlePath, arguments);
    if (!opened) {
        platform::sayOnStandardError(opened.failure().description());
        platform::leave(platform::EXIT_LAUNCH_FAILED);
    }
    platform::leave(*opened);
}

} // namespace kestrune::supervision
