// The shell's end: the termination handler, the decision on the main queue,
// swaps and restarts.
#pragma once

#include "platform/child_process.h"

#include <csignal>
#include <cstddef>
#include <functional>

namespace kestrune::supervision {

inline constexpr int SHELL_SWAP_SIGNAL = SIGHUP;

// True while a replacement of the shell is under way.
bool swapping();
// A SIGHUP asked for a swap: the shell is being asked to end.
void swapAsked();

// What a swap needs of the link delivery, set once at start-up: links that
// fail on the closing inbox, and those that were waiting, are kept for the
// new shell and handed to it once it runs.
struct SwapSeams {
    // Closes the old shell's inbox with `close`, keeping every link.
    std::function<void(const std::function<void()>& close)> closeKeepingTheLinks;
    std::function<std::size_t()> waitingLinks;
    std::function<void()> deliverTheWaitingLinks;
};
void setTheSwapSeams(SwapSeams seams);

// What closes with every shell, first thing once it has ended (the panels it
// had opened); set once at start-up.
void setWhatClosesWithTheShell(std::function<void()> close);

// Installs the termination handler on a shell that is not launched yet.
void watch(platform::ChildProcess& shell);

// What the host does on the main queue once shell `ended` has ended.
void decideAfter(const platform::Termination& ended);

// Restarts the whole host: through the service manager when the host runs as
// its own service, else through the relaunch tool. Never returns.
[[noreturn]] void restarts();

// Removes the descriptor's "socket" when nobody listens on it any more.
void removeTheShellsSocket();

} // namespace kestrune::supervision
