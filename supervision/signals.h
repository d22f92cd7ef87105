// The host's signal sources, stopping the shell, and reopen requests: each
// forwards to the supervisor set at start-up.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::supervision {

// Start-up steps 21 and 22: SIGTERM, SIGINT and SIGHUP.
void installTheStopSignals();
void installTheSwapSignal();
// Start-up step 31: SIGUSR2 and SIGUSR1.
void installTheReopenSignals();
// Start-up step 35: the update-check signal.
void installTheUpdateSignal(std::function<void()> checkForUpdates);

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

// Sends SIGTERM to each of `targets`, in order.
void terminateAll(const std::vector<pid_t>& targets);

// Forwards a reopen request to the shell, or keeps it until the shell says
// it hears them.
void askTheChildToReopen();

// Set once the shell's menu is drawn: pops the menu up at the mouse and
// says whether it did. Until then reopen requests go to the shell.
void setTheReopenMenu(std::function<bool()> reopenMenu);

// A reopen request (SIGUSR1, or the application opened again): the menu
// pops up when it can, otherwise the shell is asked.
void reopenRequested();

} // namespace kestrune::supervision
