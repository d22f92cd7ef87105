#include "supervision/signals.h"

#include "platform/exit.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/signal_names.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"
#include "supervision/timings.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
std::shared_ptr<platform::SignalSource> termination;       // SIGTERM
std::shared_ptr<platform::SignalSource> interruption;      // SIGINT
std::shared_ptr<platform::SignalSource> swap;              // SIGHUP
std::shared_ptr<platform::SignalSource> reopenHeard;       // SIGUSR2, the shell hears reopen requests
std::shared_ptr<platform::SignalSource> menuAsked;         // SIGUSR1, a reopen request
std::function<bool()> reopenMenu;
std::shared_ptr<platform::SignalSource> updateCheckAsked;  // the update-check signal

bool terminationAsked = false;
bool quitAsked = false;
std::vector<pid_t> targets;
bool childHearsReopen = false;
bool reopenOwed = false;
Timings timings;
std::chrono::milliseconds grace = timings.grace;
std::unique_ptr<platform::Timer> shellExitTimer;

void sendToTheShell(int signalNumber)
{
    if (shellIsRunning())
        kill(shellPid(), signalNumber);
}

// The SIGHUP handler: a swap is asked for. Once the host stops (SIGTERM, a
// quit, its lost parent) no new shell may replace the one being stopped.
void askForASwap()
{
    if (swapping() || terminationAsked || quitAsked)
        return;
    if (!shellIsRunning())
        return;
    swapAsked();
    sendToTheShell(SIGTERM);
}

// The SIGUSR2 handler: the shell hears reopen requests from now on.
void childAnnouncedReopen()
{
    childHearsReopen = true;
    if (reopenOwed && shellIsRunning()) {
        reopenOwed = false;
        sendToTheShell(SIGUSR1);
        append({{"kind", "reopen-resumed"}, {"shell", shellPid()}}, deathLog(shellPid()));
    }
}
}

void installTheStopSignals()
{
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    terminationAsked = false;
    termination = platform::onSignal(SIGTERM, [] {
        terminationAsked = true;
        endTheShell("term");
    });
    // Interrupting only reads the current shell, on the main queue, so a
    // swap can never replace it under our feet.
    interruption = platform::onSignal(SIGINT, [] { sendToTheShell(SIGINT); });
}

void installTheSwapSignal()
{
    signal(SHELL_SWAP_SIGNAL, SIG_IGN);
    swap = platform::onSignal(SHELL_SWAP_SIGNAL, askForASwap);
}

void installTheReopenSignals()
{
    childHearsReopen = false;
    reopenOwed = false;
    signal(REOPEN_READY_SIGNAL, SIG_IGN);
    reopenHeard = platform::onSignal(REOPEN_READY_SIGNAL, childAnnouncedReopen);
    signal(SIGUSR1, SIG_IGN);
    // The menu pops up on a reopen request once the shell draws one; until
    // then every request goes to the shell.
    menuAsked = platform::onSignal(SIGUSR1, reopenRequested);
}

void installTheUpdateSignal(std::function<void()> checkForUpdates)
{
    signal(platform::UPDATE_CHECK_SIGNAL, SIG_IGN);
    updateCheckAsked = platform::onSignal(platform::UPDATE_CHECK_SIGNAL, std::move(checkForUpdates));
}

void setTheSupervisionTimings()
{
    timings = timingsFrom(platform::processEnvironment());
    grace = hostedByItsParent() ? timings.hostedGrace : timings.grace;
    shellExitTimer.reset();
}

const Timings& supervisionTimings()
{
    return timings;
}

void cancelTheStopSignals()
{
    for (auto* source : {&termination, &interruption, &swap}) {
        if (*source)
            (*source)->cancel();
    }
}

bool terminating()
{
    return terminationAsked;
}

bool quitting()
{
    return quitAsked;
}

const std::vector<pid_t>& quitTargets()
{
    return targets;
}

const std::vector<pid_t>& startQuitting()
{
    quitAsked = true;
    targets = shellIsRunning() ? descendants(shellPid()) : std::vector<pid_t>{};
    return targets;
}

std::vector<pid_t> descendants(pid_t pid)
{
    return platform::descendantsOf(pid);
}

std::vector<pid_t> everythingTheHostStarted()
{
    std::vector<pid_t> all = targets;
    auto more = descendants(getpid());
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

void terminateAll(const std::vector<pid_t>& pids)
{
    for (pid_t target : pids)
        kill(target, SIGTERM);
}

void killAll(const std::vector<pid_t>& pids)
{
    for (pid_t target : pids)
        platform::signalIfAlive(target, SIGKILL);
}

void killAllAndLeave(const std::vector<pid_t>& pids)
{
    killAll(pids);
    platform::leave(platform::EXIT_DONE);
}

void endTheShell(const std::string& reason)
{
    platform::assertOnTheMainThread("endTheShell");
    if (!shellIsRunning())
        return;
    pid_t shell = shellPid();
    kill(shell, SIGTERM);
    kill(shell, SIGCONT);
    if (shellExitTimer)
        return;
    shellExitTimer = platform::after(grace, [shell, reason] {
        auto killed = everythingTheHostStarted();
        const double graceSeconds = static_cast<double>(grace.count()) / 1000.0;
        append({{"kind", "shell-stuck"}, {"asked", reason}, {"shell", shell}, {"graceSeconds", graceSeconds}, {"killed", killed}},
               deathLog(shell));
        killAll(killed);
        removeTheShellsSocket();
        platform::leave(platform::EXIT_DONE);
    });
}

void setTheReopenMenu(std::function<bool()> given)
{
    platform::assertOnTheMainThread("setTheReopenMenu");
    reopenMenu = std::move(given);
}

void reopenRequested()
{
    platform::assertOnTheMainThread("reopenRequested");
    if (reopenMenu && reopenMenu())
        return;
    askTheChildToReopen();
}

void askTheChildToReopen()
{
    platform::assertOnTheMainThread("askTheChildToReopen");
    if (!shellIsRunning())
        return;
    if (childHearsReopen || platform::catches(shellPid(), SIGUSR1)) {
        sendToTheShell(SIGUSR1);
        return;
    }
    if (reopenOwed)
        return;
    reopenOwed = true;
    append({{"kind", "reopen-waiting"}, {"shell", shellPid()}}, deathLog(shellPid()));
}

void shellWillAnnounceReopenAnew()
{
    childHearsReopen = false;
}

} // namespace kestrune::supervision
