#include "supervision/signals.h"

#include "host/descriptor.h"
#include "host/startup.h"
#include "platform/process.h"
#include "socket/dead_socket.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace kestrune {

namespace {
bool shellIsRunning()
{
    return child && child->isRunning();
}

void sendToTheShell(int signalNumber)
{
    if (shellIsRunning())
        kill(child->pid(), signalNumber);
}

// The SIGHUP handler: a swap is asked for.
void askForASwap()
{
    if (swapping || terminating)
        return;
    if (!shellIsRunning())
        return;
    swapping = true;
    sendToTheShell(SIGTERM);
}

// The SIGUSR2 handler: the shell hears reopen requests from now on.
void childAnnouncedReopen()
{
    childHearsReopen = true;
    if (reopenOwed && shellIsRunning()) {
        reopenOwed = false;
        sendToTheShell(SIGUSR1);
        append({{"kind", "reopen-resumed"}, {"shell", child->pid()}}, deathLog(child->pid()));
    }
}
}

void installTheStopSignals()
{
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    terminating = false;
    termination = platform::onSignal(SIGTERM, [] {
        terminating = true;
        endTheShell("term");
    });
    // Interrupting only reads the current shell, on the main queue, so a
    // swap can never replace it under our feet.
    interruption = platform::onSignal(SIGINT, [] { sendToTheShell(SIGINT); });
}

void installTheSwapSignal()
{
    swapping = false;
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
    menuAsked = platform::onSignal(SIGUSR1, askTheChildToReopen);
}

void installTheUpdateSignal()
{
    signal(SIGPWR, SIG_IGN);
    // Update checks arrive with the updater; until then the signal is taken
    // and has no effect, so it can never end the host.
    updateCheckAsked = platform::onSignal(SIGPWR, [] {});
}

void setTheSupervisionTimings()
{
    shellExitGraceSeconds = hostedByItsParent ? 2.8 : 5.0;
    shellExitTimer.reset();
}

void cancelTheStopSignals()
{
    for (auto* source : {&termination, &interruption, &swap}) {
        if (*source)
            (*source)->cancel();
    }
}

std::vector<pid_t> descendants(pid_t pid)
{
    return platform::descendantsOf(pid);
}

void killAll(const std::vector<pid_t>& targets)
{
    for (pid_t target : targets)
        platform::signalIfAlive(target, SIGKILL);
}

void endTheShell(const std::string& reason)
{
    platform::assertOnTheMainThread("endTheShell");
    if (!shellIsRunning())
        return;
    pid_t shell = child->pid();
    kill(shell, SIGTERM);
    kill(shell, SIGCONT);
    if (shellExitTimer)
        return;
    auto grace = std::chrono::duration<double>(shellExitGraceSeconds);
    shellExitTimer = platform::after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(grace), [shell, reason] {
        std::vector<pid_t> targets = quitTargets;
        auto more = descendants(getpid());
        targets.insert(targets.end(), more.begin(), more.end());
        append({{"kind", "shell-stuck"}, {"asked", reason}, {"shell", shell}, {"graceSeconds", shellExitGraceSeconds}, {"killed", targets}},
               deathLog(shell));
        killAll(targets);
        if (auto socket = runtime.find("socket"); socket != runtime.end())
            removeDeadSocket(socket->second);
        leave(0);
    });
}

void askTheChildToReopen()
{
    platform::assertOnTheMainThread("askTheChildToReopen");
    if (!shellIsRunning())
        return;
    if (childHearsReopen || platform::catches(child->pid(), SIGUSR1)) {
        sendToTheShell(SIGUSR1);
        return;
    }
    if (reopenOwed)
        return;
    reopenOwed = true;
    append({{"kind", "reopen-waiting"}, {"shell", child->pid()}}, deathLog(child->pid()));
}

} // namespace kestrune
