// The running-apps watch: once the shell asks ({"watch":"apps"}), it hears
// which applications run, which is in front and which windows are on
// screen, at once and after every launch, quit, activation, hide or unhide.
#pragma once

#include "channel/outgoing.h"

#include <memory>

namespace kestrune::links {

class AppsWatch : public std::enable_shared_from_this<AppsWatch> {
public:
    // Installs the workspace observers the first time; reports at once on
    // every request.
    void start();
    // Schedules one report on the main queue; events until it runs merge
    // into it.
    void soon();
    // Builds and sends one report.
    void send();

    // The "apps" message as it stands now.
    static channel::Message report();

private:
    bool watching_ = false;
    bool owed_ = false;
};

} // namespace kestrune::links
