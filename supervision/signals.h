// Stopping the shell, the host's signal sources, and reopen requests.
#pragma once

#include "platform/main_queue.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune {

inline std::shared_ptr<platform::SignalSource> termination;       // SIGTERM
inline std::shared_ptr<platform::SignalSource> interruption;      // SIGINT
inline std::shared_ptr<platform::SignalSource> swap;              // SIGHUP
inline std::shared_ptr<platform::SignalSource> reopenHeard;       // SIGUSR2, the shell hears reopen requests
inline std::shared_ptr<platform::SignalSource> menuAsked;         // SIGUSR1, a reopen request
inline std::shared_ptr<platform::SignalSource> updateCheckAsked;  // SIGPWR, standing in for SIGINFO

inline bool childHearsReopen = false;
inline bool reopenOwed = false;
inline constexpr pid_t launchdPid = 1;
inline constexpr double stuckShellGraceSeconds = 3.0;
inline double shellExitGraceSeconds = 5.0;
inline std::unique_ptr<platform::Timer> shellExitTimer;

// Start-up steps 21 and 22: SIGTERM, SIGINT and SIGHUP.
void installTheStopSignals();
void installTheSwapSignal();
// Start-up step 31: SIGUSR2 and SIGUSR1.
void installTheReopenSignals();
// Start-up step 35: the update-check signal.
void installTheUpdateSignal();
// Start-up step 37.
void setTheSupervisionTimings();

// The host ends outside a swap: from now on SIGTERM, SIGINT and SIGHUP are
// simply ignored.
void cancelTheStopSignals();

// Asks the shell to end (SIGTERM, then SIGCONT) and arms the one grace
// timer; when it runs out, everything the host started is killed and the
// host exits 0.
void endTheShell(const std::string& reason);

// Every descendant of `pid`, each once, without `pid`.
std::vector<pid_t> descendants(pid_t pid);

// Forwards a reopen request to the shell, or keeps it until the shell says
// it hears them.
void askTheChildToReopen();

// Sends SIGKILL to each of `targets` that still exists.
void killAll(const std::vector<pid_t>& targets);

} // namespace kestrune
