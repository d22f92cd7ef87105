#include "supervision/supervisor.h"

#include "channel/inbox.h"
#include "platform/clock.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/standard_error.h"
#include "supervision/death_log.h"
#include "supervision/exit.h"
#include "supervision/launch.h"
#include "supervision/root.h"

#include <nlohmann/json.hpp>

#include <cassert>
#include <cstdlib>
#include <csignal>
#include <unistd.h>

namespace kestrune::supervision {

namespace {
constexpr std::size_t ROOT_WAIT_FILE_LIMIT = 64 * 1024;

std::chrono::steady_clock::duration inSteadyTicks(double seconds)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

const std::shared_ptr<channel::ChildInbox> noInbox;
}

std::string_view nameOf(Phase phase)
{
    switch (phase) {
    case Phase::starting: return "starting";
    case Phase::running: return "running";
    case Phase::swapping: return "swapping";
    case Phase::waitingForNewParent: return "waitingForNewParent";
    case Phase::stoppingForSignal: return "stoppingForSignal";
    case Phase::stoppingForQuit: return "stoppingForQuit";
    case Phase::stoppingForLostParent: return "stoppingForLostParent";
    case Phase::leaving: return "leaving";
    }
    return "?";
}

Supervisor::Supervisor(Timings timings, Hosting hosting, ShellFactory makeShell, Clock& clock, System& system)
    : timings_(timings), hosting_(hosting), makeShell_(std::move(makeShell)), clock_(clock), system_(system)
{
}

Supervisor::~Supervisor() = default;

void Supervisor::enter(Phase next)
{
    phase_ = next;
}

// Once the host stops, it stops: a later stop only changes why when a quit
// (or the lost parent) comes after SIGTERM, since the quit's targets then
// decide how the host leaves.
void Supervisor::enterStopping(Phase next)
{
    if (phase_ == Phase::swapping)
        stoppedDuringASwap_ = true;
    phase_ = next;
}

bool Supervisor::stopping() const
{
    return phase_ == Phase::stoppingForSignal || phase_ == Phase::stoppingForQuit || phase_ == Phase::stoppingForLostParent
        || phase_ == Phase::leaving;
}

bool Supervisor::swapping() const
{
    return phase_ == Phase::swapping || (stoppedDuringASwap_ && stopping());
}

const std::shared_ptr<channel::ChildInbox>& Supervisor::input() const
{
    return shell_ ? shell_->input() : noInbox;
}

std::chrono::steady_clock::duration Supervisor::shellGrace() const
{
    return hosting_.byItsParent ? timings_.hostedGrace : timings_.grace;
}

void Supervisor::makeTheShell()
{
    shell_ = makeShell_();
}

void Supervisor::launchTheShellOrLeave()
{
    platform::assertOnTheMainThread("Supervisor::launchTheShellOrLeave");
    if (auto launched = shell_->launch([this](const platform::Termination& ended) { decideAfter(ended); }); !launched) {
        system_.sayOnStandardError(launched.failure().description());
        leave(platform::EXIT_LAUNCH_FAILED);
    }
    startedAt_ = clock_.now();
    if (phase_ == Phase::starting || phase_ == Phase::swapping)
        enter(rootWait_ ? Phase::waitingForNewParent : Phase::running);
}

void Supervisor::sendToTheShell(int signalNumber)
{
    if (shellIsRunning())
        shell_->signal(signalNumber);
}

// --- Signals ---------------------------------------------------------------

void Supervisor::installTheStopSignals()
{
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGINT, SIG_IGN);
    stopSignals_.push_back(platform::onSignal(SIGTERM, [this] { terminationAsked(); }));
    // Interrupting only reads the current shell, on the main queue, so a
    // swap can never replace it under our feet.
    stopSignals_.push_back(platform::onSignal(SIGINT, [this] { interrupted(); }));
}

void Supervisor::installTheSwapSignal()
{
    ::signal(SHELL_SWAP_SIGNAL, SIG_IGN);
    stopSignals_.push_back(platform::onSignal(SHELL_SWAP_SIGNAL, [this] { swapAsked(); }));
}

void Supervisor::installTheReopenSignals()
{
    shellHearsReopen_ = false;
    reopenOwed_ = false;
    ::signal(REOPEN_READY_SIGNAL, SIG_IGN);
    reopenSignals_.push_back(platform::onSignal(REOPEN_READY_SIGNAL, [this] { shellAnnouncedReopen(); }));
    ::signal(SIGUSR1, SIG_IGN);
    // The menu pops up on a reopen request once the shell draws one; until
    // then every request goes to the shell.
    reopenSignals_.push_back(platform::onSignal(SIGUSR1, [this] { reopenRequested(); }));
}

// The host ends outside a swap: from now on SIGTERM, SIGINT and SIGHUP are
// simply ignored.
void Supervisor::cancelTheStopSignals()
{
    for (auto& source : stopSignals_)
        source->cancel();
}

void Supervisor::terminationAsked()
{
    platform::assertOnTheMainThread("Supervisor::terminationAsked");
    if (!stopping())
        enterStopping(Phase::stoppingForSignal);
    endTheShell("term");
}

void Supervisor::interrupted()
{
    sendToTheShell(SIGINT);
}

// Once the host stops (SIGTERM, a quit, its lost parent) no new shell may
// replace the one being stopped.
void Supervisor::swapAsked()
{
    platform::assertOnTheMainThread("Supervisor::swapAsked");
    if (swapping() || stopping())
        return;
    if (!shellIsRunning())
        return;
    enter(Phase::swapping);
    sendToTheShell(SIGTERM);
}

void Supervisor::shellAnnouncedReopen()
{
    platform::assertOnTheMainThread("Supervisor::shellAnnouncedReopen");
    shellHearsReopen_ = true;
    if (reopenOwed_ && shellIsRunning()) {
        reopenOwed_ = false;
        sendToTheShell(SIGUSR1);
        system_.record({{"kind", "reopen-resumed"}, {"shell", shellPid()}}, shellPid());
    }
}

// --- The shell's end -------------------------------------------------------

void Supervisor::setTheSwapSeams(SwapSeams seams)
{
    swapSeams_ = std::move(seams);
}

void Supervisor::setWhatClosesWithTheShell(std::function<void()> close)
{
    closesWithTheShell_ = std::move(close);
}

void Supervisor::setWhatFollowsASwap(std::function<void()> follows)
{
    followsASwap_ = std::move(follows);
}

void Supervisor::decideAfter(const platform::Termination& ended)
{
    platform::assertOnTheMainThread("Supervisor::decideAfter");
    if (shell_ && shell_->pid() == ended.pid)
        shell_->markEnded();

    if (closesWithTheShell_)
        closesWithTheShell_();

    // A quit that came while a swap was under way wins: the old shell's end
    // ends the host, and no new shell is started only to be stopped.
    const bool swapSignal = ended.signaled && ended.status == SHELL_SWAP_SIGNAL;
    if ((phase_ == Phase::swapping || swapSignal) && !stopping()) {
        swapTheShell(ended);
        return;
    }

    cancelTheStopSignals();
    if (input())
        input()->close();
    // The get-URL handler goes with the URL receiver.
    system_.removeTheShellsSocket();

    if (quitting())
        killAllAndLeave(everythingTheHostStarted());
    const int status = ended.signaled ? platform::EXIT_SIGNAL_BASE + ended.status : ended.status;
    if (phase_ == Phase::stoppingForSignal)
        leave(status);
    if (!ended.signaled) {
        if (ended.status == platform::EXIT_RESTARTING) {
            enter(Phase::leaving);
            system_.restart();
        }
        leave(status);
    }
    if (!hosting_.byItsParent && clock_.now() - startedAt_ >= timings_.crashLoop) {
        enter(Phase::leaving);
        system_.restart();
    }
    leave(status);
}

// Replaces the ended shell with a new one inside the same host.
void Supervisor::swapTheShell(const platform::Termination& ended)
{
    enter(Phase::swapping);
    auto closeTheInbox = [this] {
        if (input())
            input()->close();
    };
    if (swapSeams_.closeKeepingTheLinks)
        swapSeams_.closeKeepingTheLinks(closeTheInbox);
    else
        closeTheInbox();

    system_.removeTheShellsSocket();

    makeTheShell();
    shellHearsReopen_ = false;
    launchTheShellOrLeave();

    if (followsASwap_)
        followsASwap_();

    const pid_t shell = shellPid();
    system_.record({{"kind", "shell-swapped"},
                    {"from", ended.pid},
                    {"to", shell},
                    {"waiting", swapSeams_.waitingLinks ? swapSeams_.waitingLinks() : 0},
                    {"asked", ended.signaled && ended.status == SHELL_SWAP_SIGNAL ? "shell-sighup" : "launcher-sighup"}},
                   shell);

    if (swapSeams_.deliverTheWaitingLinks)
        swapSeams_.deliverTheWaitingLinks();
}

// --- Stopping ----------------------------------------------------------------

const std::vector<pid_t>& Supervisor::startQuitting()
{
    platform::assertOnTheMainThread("Supervisor::startQuitting");
    if (phase_ != Phase::stoppingForLostParent)
        enterStopping(Phase::stoppingForQuit);
    targets_ = shellIsRunning() ? system_.descendantsOf(shellPid()) : std::vector<pid_t>{};
    return targets_;
}

std::vector<pid_t> Supervisor::everythingTheHostStarted()
{
    std::vector<pid_t> all = targets_;
    auto more = system_.descendantsOf(system_.ownPid());
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

void Supervisor::killAll(const std::vector<pid_t>& pids)
{
    for (pid_t target : pids)
        system_.signalIfAlive(target, SIGKILL);
}

void Supervisor::killAllAndLeave(const std::vector<pid_t>& pids)
{
    killAll(pids);
    leave(platform::EXIT_DONE);
}

void Supervisor::leave(int status)
{
    enter(Phase::leaving);
    system_.leave(status);
    // A system's leave never returns; the compiler cannot see it through
    // the virtual call.
    std::abort();
}

void Supervisor::endTheShell(const std::string& reason)
{
    platform::assertOnTheMainThread("Supervisor::endTheShell");
    if (!shellIsRunning())
        return;
    const pid_t shell = shellPid();
    shell_->signal(SIGTERM);
    shell_->signal(SIGCONT);
    if (shellExitTimer_)
        return;
    shellExitTimer_ = clock_.after(shellGrace(), [this, shell, reason] {
        auto killed = everythingTheHostStarted();
        const double graceSeconds = std::chrono::duration<double>(shellGrace()).count();
        system_.record({{"kind", "shell-stuck"}, {"asked", reason}, {"shell", shell}, {"graceSeconds", graceSeconds}, {"killed", killed}},
                       shell);
        killAll(killed);
        system_.removeTheShellsSocket();
        leave(platform::EXIT_DONE);
    });
}

// --- Reopen requests ---------------------------------------------------------

void Supervisor::setTheReopenMenu(std::function<bool()> reopenMenu)
{
    reopenMenu_ = std::move(reopenMenu);
}

void Supervisor::reopenRequested()
{
    platform::assertOnTheMainThread("Supervisor::reopenRequested");
    if (reopenMenu_ && reopenMenu_())
        return;
    askTheShellToReopen();
}

void Supervisor::askTheShellToReopen()
{
    platform::assertOnTheMainThread("Supervisor::askTheShellToReopen");
    if (!shellIsRunning())
        return;
    if (shellHearsReopen_ || system_.catches(shellPid(), SIGUSR1)) {
        sendToTheShell(SIGUSR1);
        return;
    }
    if (reopenOwed_)
        return;
    reopenOwed_ = true;
    system_.record({{"kind", "reopen-waiting"}, {"shell", shellPid()}}, shellPid());
}

// --- The parent and the root -------------------------------------------------

void Supervisor::watchTheParent(pid_t bornUnder)
{
    if (bornUnder == launchdPid)
        return;
    watchTheRoot(bornUnder);
    if (system_.parentPid() != bornUnder)
        rootGone(bornUnder);
}

void Supervisor::watchTheRoot(pid_t root)
{
    platform::assertOnTheMainThread("Supervisor::watchTheRoot");
    rootWatch_.reset();
    rootWatch_ = system_.whenProcessEnds(root, [this, root] { rootGone(root); });
    if (system_.isGone(root))
        rootGone(root);
}

void Supervisor::rootGone(pid_t root)
{
    platform::assertOnTheMainThread("Supervisor::rootGone");
    rootWatch_.reset();
    if (quitting() || rootWait_)
        return;
    if (!stopping() && hosting_.rootWaitSeconds > 0 && shellIsRunning())
        waitForTheNextRoot(root);
    else
        leaveWithTheParent(root);
}

void Supervisor::leaveWithTheParent(pid_t parent)
{
    platform::assertOnTheMainThread("Supervisor::leaveWithTheParent");
    if (quitting())
        return;
    rootWatch_.reset();
    enterStopping(Phase::stoppingForLostParent);
    const auto& targets = startQuitting();
    system_.record({{"kind", "parent-gone"}, {"parent", parent}, {"shell", shellPid()}, {"descendants", targets}}, shellPid());
    if (!shellIsRunning())
        leave(platform::EXIT_DONE);
    for (pid_t target : targets)
        system_.signal(target, SIGTERM);
    shell_->signal(SIGTERM);
    // The host leaves when it fires, or earlier when the shell ends.
    lostParentTimer_ = clock_.after(timings_.lostParentGrace, [this] { killAllAndLeave(everythingTheHostStarted()); });
}

void Supervisor::waitForTheNextRoot(pid_t lost)
{
    nlohmann::json awaiting = {{"at", platform::clock.now()}, {"lost", lost}, {"pid", system_.ownPid()}};
    // A file that cannot be written only means no adopter can answer: the
    // wait runs out and the host leaves with its parent.
    system_.writeTheRootWaitFile(awaiting.dump());
    if (phase_ == Phase::running)
        enter(Phase::waitingForNewParent);
    system_.record({{"kind", "root-lost"}, {"parent", lost}, {"shell", shellPid()}, {"waitSeconds", hosting_.rootWaitSeconds}}, shellPid());
    auto deadline = clock_.now() + inSteadyTicks(hosting_.rootWaitSeconds);
    rootWait_ = clock_.after(timings_.rootWaitTick, [this, lost, deadline] { lookForTheNextRoot(lost, deadline); });
}

void Supervisor::endTheWait()
{
    rootWait_.reset();
    system_.removeTheRootWaitFile();
}

// One tick of the wait for a new root.
void Supervisor::lookForTheNextRoot(pid_t lost, std::chrono::steady_clock::time_point deadline)
{
    auto text = system_.readTheRootWaitFile();
    if (auto root = text ? adopterIn(*text, system_.ownPid()) : std::nullopt) {
        endTheWait();
        if (phase_ == Phase::waitingForNewParent)
            enter(Phase::running);
        system_.record({{"kind", "root-adopted"}, {"parent", *root}, {"lost", lost}, {"shell", shellPid()}}, shellPid());
        watchTheRoot(*root);
        return;
    }
    if (clock_.now() >= deadline || stopping()) {
        endTheWait();
        system_.record({{"kind", "root-never-came"}, {"parent", lost}, {"shell", shellPid()}, {"waitSeconds", hosting_.rootWaitSeconds}},
                       shellPid());
        leaveWithTheParent(lost);
        return;
    }
    rootWait_ = clock_.after(timings_.rootWaitTick, [this, lost, deadline] { lookForTheNextRoot(lost, deadline); });
}

// --- The one instance and the real seams -----------------------------------

namespace {
Supervisor* theOne = nullptr;

class MainQueueTimer final : public Pending {
public:
    explicit MainQueueTimer(std::unique_ptr<platform::Timer> timer) : timer_(std::move(timer)) {}

private:
    std::unique_ptr<platform::Timer> timer_;
};

class WatchedProcess final : public Pending {
public:
    explicit WatchedProcess(std::unique_ptr<platform::ProcessWatch> watch) : watch_(std::move(watch)) {}

private:
    std::unique_ptr<platform::ProcessWatch> watch_;
};

class SteadyClock final : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override { return std::chrono::steady_clock::now(); }
    std::unique_ptr<Pending> after(std::chrono::steady_clock::duration delay, std::function<void()> fire) override
    {
        return std::make_unique<MainQueueTimer>(platform::after(delay, std::move(fire)));
    }
};

class ThisSystem final : public System {
public:
    explicit ThisSystem(std::string rootWaitFile) : rootWaitFile_(std::move(rootWaitFile)) {}

    pid_t ownPid() const override { return getpid(); }
    pid_t parentPid() const override { return getppid(); }
    std::vector<pid_t> descendantsOf(pid_t pid) override { return platform::descendantsOf(pid); }
    bool isGone(pid_t pid) override { return platform::isGone(pid); }
    bool catches(pid_t pid, int signalNumber) override { return platform::catches(pid, signalNumber); }
    void signal(pid_t pid, int signalNumber) override { kill(pid, signalNumber); }
    void signalIfAlive(pid_t pid, int signalNumber) override { platform::signalIfAlive(pid, signalNumber); }
    std::unique_ptr<Pending> whenProcessEnds(pid_t pid, std::function<void()> gone) override
    {
        return std::make_unique<WatchedProcess>(platform::whenProcessEnds(pid, std::move(gone)));
    }
    void record(const nlohmann::json& record, pid_t about) override { append(record, deathLog(about)); }
    void sayOnStandardError(const std::string& text) override { platform::sayOnStandardError(text); }
    std::optional<std::string> readTheRootWaitFile() override { return platform::contentsOf(rootWaitFile_, ROOT_WAIT_FILE_LIMIT); }
    void writeTheRootWaitFile(const std::string& text) override
    {
        platform::makeFolders(platform::deletingLastComponent(rootWaitFile_));
        (void)platform::replaceAtomically(rootWaitFile_, text);
    }
    void removeTheRootWaitFile() override { unlink(rootWaitFile_.c_str()); }
    void removeTheShellsSocket() override { supervision::removeTheShellsSocket(); }
    [[noreturn]] void leave(int status) override { platform::leave(status); }
    [[noreturn]] void restart() override { restarts(); }

private:
    std::string rootWaitFile_;
};
}

void setTheSupervisor(Supervisor& supervisor)
{
    assert(!theOne);
    theOne = &supervisor;
}

Supervisor* theSupervisorIfAny()
{
    return theOne;
}

Supervisor& theSupervisor()
{
    assert(theOne);
    return *theOne;
}

Clock& theRealClock()
{
    static SteadyClock clock;
    return clock;
}

std::unique_ptr<System> theRealSystem(std::string rootWaitFile)
{
    return std::make_unique<ThisSystem>(std::move(rootWaitFile));
}

} // namespace kestrune::supervision
