// The application's delegate: URLs and files opened with the application,
// and requests to quit.
#pragma once

#include "platform/desktop/application_events.h"

#include <string>
#include <vector>

namespace kestrune::links {

class TerminationRelay {
public:
    // URLs opened with the application, in order: a link file's link and
    // any other URL of at most linkFileBytes go to the receiver with the
    // current event; other files are ignored.
    void open(const std::vector<std::string>& urls);

    // The application was opened again while it runs: the menu pops up
    // once drawn, otherwise the shell is asked to reopen. Never handled by
    // the system itself.
    bool shouldHandleReopen();

    // A quit never cuts the shell off: with a shell running, it is stopped
    // in order and the host leaves once it is gone; with none, the quit is
    // answered at once.
    platform::TerminateReply shouldTerminate();
};

// Start-up: creates the relay and makes it the application's delegate.
void makeTheRelay();

} // namespace kestrune::links
