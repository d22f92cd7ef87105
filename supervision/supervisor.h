// The shell's supervision as one object with an explicit phase: launches,
// swaps, restarts, stops for a signal, a quit or a lost parent, the wait for
// a new root, and reopen requests. Everything outside it (the shell's
// process, time, the process tree, the way out) comes through small seams,
// so that each transition can be driven without processes.
#pragma once

#include "platform/child_process.h"
#include "platform/result.h"
#include "supervision/timings.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace platform {
class SignalSource;
}

namespace kestrune::channel {
class ChildInbox;
}

namespace kestrune::supervision {

inline constexpr int SHELL_SWAP_SIGNAL = SIGHUP;
inline constexpr pid_t launchdPid = 1;

enum class Phase {
    starting,                // the shell is made, not yet launched
    running,                 // a shell runs and nothing stops the host
    swapping,                // a replacement was asked for, or is being made
    waitingForNewParent,     // the root is gone and the host waits for an adopter
    stoppingForSignal,       // SIGTERM: the shell is asked to end, then the host leaves
    stoppingForQuit,         // a confirmed quit
    stoppingForLostParent,   // the root is gone for good
    leaving,                 // the host is on its way out (or a restart)
};
std::string_view nameOf(Phase phase);

// Something scheduled (a timer, a watch): destroying it cancels it.
class Pending {
public:
    virtual ~Pending() = default;
};

// One shell process as the supervisor drives it.
class Shell {
public:
    virtual ~Shell() = default;
    // Starts it; `ended` runs on the main thread once it has ended.
    virtual platform::Result<void> launch(std::function<void(const platform::Termination&)> ended) = 0;
    // 0 until launched.
    virtual pid_t pid() const = 0;
    virtual bool isRunning() const = 0;
    // Sends `signalNumber` to the shell's process id, as is.
    virtual void signal(int signalNumber) = 0;
    virtual void markEnded() = 0;
    // The inbox on its standard input; null when the shell is not piped.
    virtual const std::shared_ptr<channel::ChildInbox>& input() const = 0;
    // The process object itself, for those that read its output.
    virtual platform::ChildProcess* process() { return nullptr; }
};
using ShellFactory = std::function<std::unique_ptr<Shell>()>;

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() const = 0;
    // Runs `fire` once on the main thread after `delay`, unless cancelled.
    virtual std::unique_ptr<Pending> after(std::chrono::steady_clock::duration delay, std::function<void()> fire) = 0;
};

// The system around the supervisor: the process tree, its records, the
// root-wait file and the ways out.
class System {
public:
    virtual ~System() = default;
    virtual pid_t ownPid() const = 0;
    virtual pid_t parentPid() const = 0;
    virtual std::vector<pid_t> descendantsOf(pid_t pid) = 0;
    virtual bool isGone(pid_t pid) = 0;
    virtual bool catches(pid_t pid, int signalNumber) = 0;
    virtual void signal(pid_t pid, int signalNumber) = 0;
    virtual void signalIfAlive(pid_t pid, int signalNumber) = 0;
    // Runs `gone` on the main thread once `pid` ends; nothing when it
    // cannot be watched.
    virtual std::unique_ptr<Pending> whenProcessEnds(pid_t pid, std::function<void()> gone) = 0;
    // Appends `record` to the death log of process `about`.
    virtual void record(const nlohmann::json& record, pid_t about) = 0;
    virtual void sayOnStandardError(const std::string& text) = 0;
    // The root-wait file, awaiting-root.json.
    virtual std::optional<std::string> readTheRootWaitFile() = 0;
    virtual void writeTheRootWaitFile(const std::string& text) = 0;
    virtual void removeTheRootWaitFile() = 0;
    // Removes the descriptor's "socket" when nobody listens on it any more.
    virtual void removeTheShellsSocket() = 0;
    // Never return in the host.
    [[noreturn]] virtual void leave(int status) = 0;
    [[noreturn]] virtual void restart() = 0;
};

// What supervision learned of the host's hosting at start-up.
struct Hosting {
    bool byItsParent = false;
    double rootWaitSeconds = 0;
};

// Upward calls, set once at start-up by the subsystems above.
struct SwapSeams {
    // Closes the old shell's inbox with `close`, keeping every link.
    std::function<void(const std::function<void()>& close)> closeKeepingTheLinks;
    std::function<std::size_t()> waitingLinks;
    std::function<void()> deliverTheWaitingLinks;
};

class Supervisor {
public:
    Supervisor(Timings timings, Hosting hosting, ShellFactory makeShell, Clock& clock, System& system);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    Phase phase() const { return phase_; }

    // Start-up: the shell is made (step 20), launched later (step 39); a
    // shell that cannot be started ends the host with EXIT_LAUNCH_FAILED.
    void makeTheShell();
    void launchTheShellOrLeave();

    // The signals, once installed, call the transitions below.
    void installTheStopSignals();      // SIGTERM, SIGINT
    void installTheSwapSignal();       // SIGHUP
    void installTheReopenSignals();    // SIGUSR2, SIGUSR1

    void terminationAsked();           // SIGTERM
    void interrupted();                // SIGINT: forwarded to the shell
    void swapAsked();                  // SIGHUP
    void shellAnnouncedReopen();       // SIGUSR2

    // What the host does on the main thread once shell `ended` has ended.
    void decideAfter(const platform::Termination& ended);

    // The delegate's quit: the current shell's descendants become the quit
    // targets (none when no shell runs). Gives them; sends nothing.
    const std::vector<pid_t>& startQuitting();
    // Asks the shell to end (SIGTERM, then SIGCONT) and arms the one grace
    // timer; when it runs out, everything the host started is killed and the
    // host exits 0.
    void endTheShell(const std::string& reason);

    // A reopen request: the menu pops up when it can, otherwise the shell
    // is asked, or the request is owed until the shell says it hears them.
    void reopenRequested();
    void askTheShellToReopen();
    void setTheReopenMenu(std::function<bool()> reopenMenu);

    void setTheSwapSeams(SwapSeams seams);
    void setWhatClosesWithTheShell(std::function<void()> close);
    void setWhatFollowsASwap(std::function<void()> follows);

    // The parent and the root: watched unless launchd started the host.
    void watchTheParent(pid_t bornUnder);
    void watchTheRoot(pid_t root);
    void rootGone(pid_t root);
    void leaveWithTheParent(pid_t parent);

    bool swapping() const;
    bool stopping() const;
    bool quitting() const { return phase_ == Phase::stoppingForQuit || phase_ == Phase::stoppingForLostParent; }
    bool waitingForARoot() const { return rootWait_ != nullptr; }
    bool reopenOwed() const { return reopenOwed_; }
    const std::vector<pid_t>& quitTargets() const { return targets_; }
    // What the host may have left running: the quit targets, then the
    // host's own descendants.
    std::vector<pid_t> everythingTheHostStarted();

    Shell* shell() const { return shell_.get(); }
    const std::shared_ptr<channel::ChildInbox>& input() const;
    bool shellIsRunning() const { return shell_ && shell_->isRunning(); }
    pid_t shellPid() const { return shell_ ? shell_->pid() : 0; }

private:
    void enter(Phase next);
    void enterStopping(Phase next);
    void sendToTheShell(int signalNumber);
    void swapTheShell(const platform::Termination& ended);
    void killAll(const std::vector<pid_t>& pids);
    [[noreturn]] void killAllAndLeave(const std::vector<pid_t>& pids);
    [[noreturn]] void leave(int status);
    void cancelTheStopSignals();
    void waitForTheNextRoot(pid_t lost);
    void lookForTheNextRoot(pid_t lost, std::chrono::steady_clock::time_point deadline);
    void endTheWait();
    std::chrono::steady_clock::duration shellGrace() const;

    const Timings timings_;
    const Hosting hosting_;
    ShellFactory makeShell_;
    Clock& clock_;
    System& system_;

    Phase phase_ = Phase::starting;
    // A stop that came while a swap was under way: links keep waiting, as
    // for the swap, since no shell will take them any more.
    bool stoppedDuringASwap_ = false;

    std::unique_ptr<Shell> shell_;
    std::chrono::steady_clock::time_point startedAt_;
    std::vector<pid_t> targets_;

    std::unique_ptr<Pending> shellExitTimer_;
    std::unique_ptr<Pending> lostParentTimer_;
    std::unique_ptr<Pending> rootWatch_;
    std::unique_ptr<Pending> rootWait_;

    bool shellHearsReopen_ = false;
    bool reopenOwed_ = false;

    SwapSeams swapSeams_;
    std::function<void()> closesWithTheShell_;
    std::function<void()> followsASwap_;
    std::function<bool()> reopenMenu_;

    std::vector<std::shared_ptr<platform::SignalSource>> stopSignals_;   // SIGTERM, SIGINT, SIGHUP
    std::vector<std::shared_ptr<platform::SignalSource>> reopenSignals_; // SIGUSR2, SIGUSR1
};

// The one supervisor of the host, set once at start-up; the free functions
// of supervision forward to it.
void setTheSupervisor(Supervisor& supervisor);
Supervisor* theSupervisorIfAny();
Supervisor& theSupervisor();

// The real seams: the platform's main-queue timers and steady clock, and the
// platform's process tree, death log and exit. `rootWaitFile` is where
// adopters answer.
Clock& theRealClock();
std::unique_ptr<System> theRealSystem(std::string rootWaitFile);

} // namespace kestrune::supervision
