#include "platform/signal_names.h"

#include <csignal>

namespace platform {

// Linux has no SIGINFO; SIGPWR has its number on the Linux ports that do.
const int UPDATE_CHECK_SIGNAL = SIGPWR;

} // namespace platform
