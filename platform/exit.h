// How the host leaves: its exit statuses, each named once, and the one way
// out of the process.
#pragma once

namespace platform {

enum ExitStatus : int {
    EXIT_DONE = 0,              // a mode answered; a quit, a lost parent or a stuck shell ended the host
    EXIT_MISUSED = 1,           // a mode used wrongly, or a login item that failed
    EXIT_UNAVAILABLE = 66,      // the bundle or its runtime descriptor cannot start a shell
    EXIT_LAUNCH_FAILED = 71,    // the shell (or a relaunch) could not be started
    EXIT_RESTARTING = 75,       // asked the service manager for a restart; a shell's way to ask for one
    EXIT_SIGNAL_BASE = 128,     // plus the number of the signal that ended the shell
};

// Ends the process with `status`. Standard streams are flushed; nothing else
// runs, so a thread still at work (a reader, a waiter) never meets a
// half-destroyed process.
[[noreturn]] void leave(int status);

} // namespace platform
