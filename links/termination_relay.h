// The application's delegate: URLs and files opened with the application,
// reopening it while it runs, and requests to quit.
#pragma once

#include "links/focus_return.h"
#include "links/receiver.h"
#include "platform/desktop/application_events.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace kestrune::links {

// The quit reasons ('why?') that mean the user's session is ending: log out,
// log out without asking, the restart and shut-down dialogs, restart, shut down.
inline const std::set<uint32_t> sessionQuitReasons = {
    platform::fourCharCode("logo"), platform::fourCharCode("rlgo"), platform::fourCharCode("rrst"),
    platform::fourCharCode("rsdn"), platform::fourCharCode("rest"), platform::fourCharCode("shut"),
};

class TerminationRelay {
public:
    // URLs opened with the application go to `receiver`; a reopening is
    // told to `focusReturn`.
    TerminationRelay(URLReceiver& receiver, FocusReturn& focusReturn);
    TerminationRelay(const TerminationRelay&) = delete;
    TerminationRelay& operator=(const TerminationRelay&) = delete;

    // Makes this relay the application's delegate, for the process's life.
    void becomeTheDelegate();

    // URLs opened with the application, in order: a link file's link and
    // any other URL of at most linkFileBytes go to the receiver with the
    // current event; other files are ignored.
    void open(const std::vector<std::string>& urls);

    // The application was opened again while it runs: nothing is handed
    // away by focus return after it, and the menu pops up once drawn,
    // otherwise the shell is asked to reopen. Never handled by the system.
    bool shouldHandleReopen();

    // A quit never cuts the shell off. The user confirms a quit that comes
    // from the application itself; the decision goes to the death log, and
    // a confirmed quit (or one from the session or another program) sends
    // SIGTERM to every descendant of the shell and stops it in order: the
    // host leaves once it is gone. With no shell running the quit is
    // answered at once.
    platform::TerminateReply shouldTerminate();

    // Whether the current Apple event's quit reason is one of the session's.
    static bool quitIsForTheSession();
    // Whether the quit comes from the host or a program inside its bundle.
    static bool quitIsFromOurOwnBundle();
    // Asks the user; true when they chose "Quit".
    static bool confirmsTheQuit();

private:
    URLReceiver& receiver_;
    FocusReturn& focusReturn_;
};

} // namespace kestrune::links
