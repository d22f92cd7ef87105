// Stopping the shell, the host's signal sources, and reopen requests.
#pragma once

#include "supervision/timings.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::supervision {

inline constexpr pid_t launchdPid = 1;

// Start-up steps 21 and 22: SIGTERM, SIGINT and SIGHUP.
void installTheStopSignals();
void installTheSwapSignal();
// Start-up step 31: SIGUSR2 and SIGUSR1.
void installTheReopenSignals();
// Start-up step 35: the update-check signal.
void installTheUpdateSignal(std::function<void()> checkForUpdates);
// Start-up step 37.
void setTheSupervisionTimings();
// What it set: the defaults, or what the test variables say.
const Timings& supervisionTimings();

// The host ends outside a swap: from now on SIGTERM, SIGINT and SIGHUP are
// simply ignored.
void cancelTheStopSignals();

// True once SIGTERM asked the host to stop.
bool terminating();

// True once the host stops for a quit or for its lost parent; then the
// shell's descendants at that moment are the quit targets.
bool quitting();
const std::vector<pid_t>& quitTargets();

// The host quits: the current shell's descendants become the quit targets
// (none when no shell runs). Gives them; sends nothing.
const std::vector<pid_t>& startQuitting();

// Asks the shell to end (SIGTERM, then SIGCONT) and arms the one grace
// timer; when it runs out, everything the host started is killed and the
// host exits 0.
void endTheShell(const std::string& reason);

// Every descendant of `pid`, each once, without `pid`.
std::vector<pid_t> descendants(pid_t pid);

// What the host may have left running: the quit targets, then the host's
// own descendants.
std::vector<pid_t> everythingTheHostStarted();

// Sends SIGTERM to each of `targets`, in order.
void terminateAll(const std::vector<pid_t>& targets);

// Sends SIGKILL to each of `targets` that still exists.
void killAll(const std::vector<pid_t>& targets);

// Kills `targets` and leaves with status 0.
[[noreturn]] void killAllAndLeave(const std::vector<pid_t>& targets);

// Forwards a reopen request to the shell, or keeps it until the shell says
// it hears them.
void askTheChildToReopen();

// Set once the shell's menu is drawn: pops the menu up at the mouse and
// says whether it did. Until then reopen requests go to the shell.
void setTheReopenMenu(std::function<bool()> reopenMenu);

// A reopen request (SIGUSR1, or the application opened again): the menu
// pops up when it can, otherwise the shell is asked.
void reopenRequested();

// A new shell has not yet said that it hears reopen requests.
void shellWillAnnounceReopenAnew();

} // namespace kestrune::supervision
