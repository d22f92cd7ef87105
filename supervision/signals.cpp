#include "supervision/signals.h"

#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/signal_names.h"
#include "supervision/supervisor.h"

#include <csignal>
#include <memory>

namespace kestrune::supervision {

namespace {
std::shared_ptr<platform::SignalSource> updateCheckAsked;   // the update-check signal
const std::vector<pid_t> noTargets;
}

void installTheStopSignals()
{
    theSupervisor().installTheStopSignals();
}

void installTheSwapSignal()
{
    theSupervisor().installTheSwapSignal();
}

void installTheReopenSignals()
{
    theSupervisor().installTheReopenSignals();
}

void installTheUpdateSignal(std::function<void()> checkForUpdates)
{
    signal(platform::UPDATE_CHECK_SIGNAL, SIG_IGN);
    updateCheckAsked = platform::onSignal(platform::UPDATE_CHECK_SIGNAL, std::move(checkForUpdates));
}

bool quitting()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor && supervisor->quitting();
}

const std::vector<pid_t>& quitTargets()
{
    auto* supervisor = theSupervisorIfAny();
    return supervisor ? supervisor->quitTargets() : noTargets;
}

const std::vector<pid_t>& startQuitting()
{
    return theSupervisor().startQuitting();
}

void endTheShell(const std::string& reason)
{
    theSupervisor().endTheShell(reason);
}

std::vector<pid_t> descendants(pid_t pid)
{
    return platform::descendantsOf(pid);
}

void terminateAll(const std::vector<pid_t>& pids)
{
    for (pid_t target : pids)
        kill(target, SIGTERM);
}

// A tool or a benchmark that draws a menu has no supervisor: no reopen
// request can reach it.
void setTheReopenMenu(std::function<bool()> reopenMenu)
{
    platform::assertOnTheMainThread("setTheReopenMenu");
    if (auto* supervisor = theSupervisorIfAny())
        supervisor->setTheReopenMenu(std::move(reopenMenu));
}

void reopenRequested()
{
    theSupervisor().reopenRequested();
}

void askTheChildToReopen()
{
    theSupervisor().askTheShellToReopen();
}

} // namespace kestrune::supervision
