#include "host/startup.h"

#include "host/context.h"
#include "host/descriptor.h"
#include "host/login.h"
#include "hotkeys/declared.h"
#include "hotkeys/remote.h"
#include "overlays/badge.h"
#include "platform/bundle.h"
#include "platform/exit.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/standard_error.h"
#include "supervision/timings.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::host {

void unavailable(const std::string& message)
{
    platform::sayOnStandardError("runtime is unavailable: " + message);
    platform::leave(platform::EXIT_UNAVAILABLE);
}

namespace {
// A host started with a standard stream closed would hand that number to the
// first descriptor it opens; the null device keeps 0, 1 and 2 taken.
void keepTheStandardStreamsTaken()
{
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
}

void startUp(int argc, char** argv)
{
    keepTheStandardStreamsTaken();
    platform::giveLargeBlocksBackWhenFreed();
    // Writes to a shell or a client that went away fail with EPIPE instead
    // of ending the host. The shell itself starts with the default action.
    signal(SIGPIPE, SIG_IGN);

    // 1. to 3.
    const platform::Bundle& bundle = platform::Bundle::main();
    const pid_t bornUnder = getppid();
    const std::vector<std::string> commandLine(argv + (argc > 0 ? 1 : 0), argv + argc);
    const std::string mode = commandLine.empty() ? std::string() : commandLine.front();

    // 4. The login item command tests nothing else first.
    if (mode == "--login")
        runTheLoginCommand(bundle, commandLine);

    // 5. Declared hot keys.
    hotkeys::readTheDeclaredHotKeys(bundle.info());
    // 6. Menu key tables: with the menu drawing.
    // 7. Remote-session settings.
    hotkeys::readTheRemoteSettings(bundle.info());
    hotkeys::setTheSessionCheckInterval(supervision::timingsFrom(platform::processEnvironment()).sessionCheck);

    // 8.
    if (mode == hotkeys::hotKeyPlanFlag)
        hotkeys::runTheHotKeyPlan(commandLine);

    // 9. Badge constants are compile-time values (badgeSize, badgeTopInset).
    // 10.
    if (mode == overlays::badgePlanFlag)
        overlays::runTheBadgePlan(commandLine);

    // 11. to 15. The runtime descriptor, with "--which-runtime" between
    //     choosing it and reading it.
    const RuntimeDescriptor descriptor = readTheRuntimeDescriptor(bundle, argc > 0 ? argv[0] : "", mode == "--which-runtime");

    // 16. to 37. The owners, made from what start-up read.
    static HostContext context(bundle, descriptor, commandLine);
    // 38. to 43.
    context.run(bornUnder);
}

} // namespace kestrune::host
