// The shell's end: what forwards to the supervisor's decision (swaps and
// restarts), the restart itself, and the shell's socket.
#pragma once

#include "supervision/supervisor.h"

#include <functional>

namespace kestrune::supervision {

// True while a replacement of the shell is under way.
bool swapping();

// What a swap needs of the link delivery, set once at start-up: links that
// fail on the closing inbox, and those that were waiting, are kept for the
// new shell and handed to it once it runs.
void setTheSwapSeams(SwapSeams seams);

// What closes with every shell, first thing once it has ended (the panels it
// had opened); set once at start-up.
void setWhatClosesWithTheShell(std::function<void()> close);

// Restarts the whole host: through the service manager when the host runs as
// its own service, else through the relaunch tool. Never returns.
[[noreturn]] void restarts();

// Removes the descriptor's "socket" when nobody listens on it any more.
void removeTheShellsSocket();

} // namespace kestrune::supervision
