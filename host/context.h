// The host's owners, made once at start-up from what it read (the bundle and
// the runtime descriptor), in start-up order: each is handed the owners below
// it, and the shell's messages and the socket's requests reach them through
// callbacks set here. The context lives until the process ends.
#pragma once

#include "host/descriptor.h"
#include "platform/bundle.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::links {
class AppsWatch;
class FileService;
class FocusReturn;
class TerminationRelay;
class URLReceiver;
}
namespace kestrune::menu {
class MenuOwner;
class Updater;
}
namespace kestrune::overlays {
class BadgeOwner;
class PanelHost;
}
namespace kestrune::supervision {
class Supervisor;
class System;
}
namespace kestrune::hotkeys {
class ChildHotKeys;
class HotKeyOwner;
}

namespace kestrune::host {

class HostContext {
public:
    // Steps 16 to 37: the link settings, the shell prepared and made, and
    // every owner with what reaches it. On the main thread.
    HostContext(const platform::Bundle& bundle, const RuntimeDescriptor& descriptor, const std::vector<std::string>& commandLine);
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;
    ~HostContext();

    // Steps 38 to 43: watches the parent the host was `bornUnder` (unless
    // launchd started it), launches the shell, and runs the main loop.
    [[noreturn]] void run(pid_t bornUnder);

    // The shell's supervision, and what it calls of the system.
    std::unique_ptr<supervision::System> supervisionSystem;
    std::unique_ptr<supervision::Supervisor> supervisor;
    // Focus return, and the doors URLs come in by.
    std::shared_ptr<links::FocusReturn> focusReturn;
    std::unique_ptr<links::URLReceiver> receiver;
    std::unique_ptr<links::TerminationRelay> relay;
    std::unique_ptr<links::FileService> fileService;
    // The views library's panels, and the updater that lives in it.
    std::unique_ptr<overlays::PanelHost> panelHost;
    std::unique_ptr<menu::Updater> updater;
    std::shared_ptr<menu::MenuOwner> menuOwner;
    std::unique_ptr<overlays::BadgeOwner> badgeOwner;
    // Null unless the shell is piped and the bundle declares hot keys.
    std::unique_ptr<hotkeys::HotKeyOwner> hotKeyOwner;
    // Null unless the shell owns its hot keys.
    std::unique_ptr<hotkeys::ChildHotKeys> childHotKeys;
    std::shared_ptr<links::AppsWatch> appsWatch;
};

} // namespace kestrune::host
